; Sieve, sort and checksum: the program of the risc16 benchmark design.
;
; After reset it marks the primes below 128 with a sieve of Eratosthenes
; (ram[128 + n] = 1 when n is prime). Then, round after round, it reads 16
; words from in_port (one IN each, whatever the port shows that cycle),
; sorts them in ram[0..15] (insertion sort, unsigned), and writes to
; out_port: the round number, the smallest and the largest word, the
; CRC-16-CCITT of the sorted words (initial value 0xFFFF, bit by bit), and
; how many words have a prime in their low 7 bits. It halts after ROUNDS
; rounds (asm.py -D ROUNDS=N overrides).

.equ ROUNDS 1000
.equ POLY 0x1021
.equ COUNTER 20              ; ram[20]: rounds done

        li   r1, 128
        li   r2, 0
        li   r3, 1
s_init: add  r4, r1, r2          ; every flag to 1
        st   r3, 0(r4)
        addi r2, r2, 1
        blt  r2, r1, s_init
        st   r0, 0(r1)           ; 0 and 1 are not prime
        st   r0, 1(r1)
        li   r2, 2               ; p
s_loop: mul  r4, r2, r2          ; while p * p < 128
        bge  r4, r1, s_done
        add  r5, r1, r2
        ld   r5, 0(r5)
        beq  r5, r0, s_next      ; p itself crossed out: nothing to do
s_mark: add  r5, r1, r4          ; cross out p*p, p*p + p, ...
        st   r0, 0(r5)
        add  r4, r4, r2
        blt  r4, r1, s_mark
s_next: addi r2, r2, 1
        j    s_loop
s_done: st   r0, COUNTER(r0)

round:  ld   r5, COUNTER(r0)
        addi r5, r5, 1
        st   r5, COUNTER(r0)
        out  r5
        li   r2, 16
        li   r1, 0
read:   in   r3                  ; ram[0..15] = 16 words from in_port
        st   r3, 0(r1)
        addi r1, r1, 1
        blt  r1, r2, read

        li   r1, 1               ; insertion sort, unsigned
i_next: ld   r3, 0(r1)           ; key = a[i]
        mov  r4, r1              ; j = i
i_find: beq  r4, r0, i_put
        ld   r5, -1(r4)
        bgeu r3, r5, i_put       ; a[j-1] <= key: key goes to j
        st   r5, 0(r4)
        addi r4, r4, -1
        j    i_find
i_put:  st   r3, 0(r4)
        addi r1, r1, 1
        blt  r1, r2, i_next

        ld   r5, 0(r0)           ; smallest and largest
        out  r5
        ld   r5, 15(r0)
        out  r5

        li   r6, POLY            ; CRC-16-CCITT over a[0..15]
        li   r3, -1
        li   r1, 0
c_word: ld   r5, 0(r1)
        xor  r3, r3, r5
        li   r4, 16
c_bit:  shli r5, r3, 1
        bge  r3, r0, c_keep      ; top bit 0: shift only
        xor  r5, r5, r6
c_keep: mov  r3, r5
        addi r4, r4, -1
        bne  r4, r0, c_bit
        addi r1, r1, 1
        blt  r1, r2, c_word
        out  r3

        li   r6, 127             ; primes among the low 7 bits
        li   r7, 128
        li   r3, 0
        li   r1, 0
p_next: ld   r5, 0(r1)
        and  r5, r5, r6
        add  r5, r5, r7
        ld   r5, 0(r5)
        add  r3, r3, r5
        addi r1, r1, 1
        blt  r1, r2, p_next
        out  r3

        ld   r5, COUNTER(r0)
        li   r6, ROUNDS
        beq  r5, r6, stop
        j    round
stop:   halt
