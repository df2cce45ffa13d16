/* rv32sys's program: round after round, from the seed input port, random
 * words, an insertion sort, a CRC-32 of the sorted words' bytes (from a
 * table in the ROM), a sieve with multiplies, signed byte and halfword sums,
 * comparisons, 64-bit products and divisions; each round writes its
 * checksums to the output register (11 words).
 *
 * Built for rv32sys by build.py (riscv64-unknown-elf-gcc -march=rv32im
 * -mabi=ilp32 -mcmodel=medany -O2 -nostdlib); compiled with -DHOST for the host, where
 * `host SEED ROUNDS` prints what the rounds write, one word a line in hex.
 */
#include <stdint.h>

#define WORDS 32   /* random words sorted each round */
#define SIEVE 300  /* the sieve marks the composites below this */

static uint32_t words[WORDS];
static uint8_t composite[SIEVE];
static int16_t steps[WORDS];
static int8_t low_bytes[WORDS];

#ifdef HOST
#include <stdio.h>
#include <stdlib.h>
static void emit(uint32_t value) { printf("%08x\n", (unsigned)value); }
#else
#define OUT_PORT (*(volatile uint32_t *)0x80000000u)
#define SEED_PORT (*(volatile uint32_t *)0x80000004u)
static void emit(uint32_t value) { OUT_PORT = value; }
#endif

static uint32_t xorshift(uint32_t *state) {
  uint32_t x = *state;
  x ^= x << 13;
  x ^= x >> 17;
  x ^= x << 5;
  *state = x;
  return x;
}

__attribute__((noinline)) static void sort(uint32_t *a, int n) {
  for (int i = 1; i < n; i++) {
    uint32_t v = a[i];
    int j = i;
    while (j > 0 && a[j - 1] > v) {
      a[j] = a[j - 1];
      j--;
    }
    a[j] = v;
  }
}

/* CRC-32 (reflected, 0xEDB88320) four bits at a time from a table in the ROM. */
static const uint32_t crc_nibble[16] = {
    0x00000000u, 0x1DB71064u, 0x3B6E20C8u, 0x26D930ACu, 0x76DC4190u, 0x6B6B51F4u, 0x4DB26158u, 0x5005713Cu,
    0xEDB88320u, 0xF00F9344u, 0xD6D6A3E8u, 0xCB61B38Cu, 0x9B64C2B0u, 0x86D3D2D4u, 0xA00AE278u, 0xBDBDF21Cu,
};

static uint32_t crc32(const uint8_t *p, int n) {
  uint32_t crc = 0xFFFFFFFFu;
  for (int k = 0; k < n; k++) {
    crc ^= p[k];
    crc = (crc >> 4) ^ crc_nibble[crc & 15u];
    crc = (crc >> 4) ^ crc_nibble[crc & 15u];
  }
  return ~crc;
}

/* The primes below SIEVE: their count, and a sum of each prime times a
 * word picked by it (p % WORDS: a multiply by the reciprocal). */
static uint32_t sieve(uint32_t *count) {
  for (int i = 0; i < SIEVE; i++) composite[i] = 0;
  for (int i = 2; i * i < SIEVE; i++)
    if (!composite[i])
      for (int j = i * i; j < SIEVE; j += i) composite[j] = 1;
  uint32_t n = 0, sum = 0;
  for (int i = 2; i < SIEVE; i++)
    if (!composite[i]) {
      n++;
      sum += (uint32_t)i * (words[i % WORDS] >> 7);
    }
  *count = n;
  return sum;
}

/* Signed halfword and byte arrays (sh, sb, lh, lb), shifts both ways. */
static uint32_t signed_sums(void) {
  for (int i = 0; i < WORDS; i++) {
    steps[i] = (int16_t)(uint16_t)(words[i] ^ (words[i] >> 16));
    low_bytes[i] = (int8_t)(uint8_t)(words[i] >> 3);
  }
  int32_t total = 0;
  for (int i = 0; i < WORDS; i++) {
    int32_t s = steps[i];
    total += (s >> 3) - (int32_t)low_bytes[i] * 5;
    if (s < low_bytes[i]) total ^= s << 2;
  }
  return (uint32_t)total;
}

/* 64-bit products: unsigned (mulhu), signed (mulh), signed by unsigned (mulhsu). */
static uint32_t products(void) {
  uint32_t acc = 0;
  for (int i = 0; i + 1 < WORDS; i += 2) {
    uint32_t x = words[i], y = words[i + 1];
    uint64_t u = (uint64_t)x * y;
    int64_t s = (int64_t)(int32_t)x * (int32_t)y;
    int64_t m = (int64_t)(int32_t)(x ^ y) * (int64_t)(uint64_t)y;
    acc = (acc << 5 | acc >> 27) ^ (uint32_t)(u >> 32) ^ (uint32_t)((uint64_t)s >> 32) ^ (uint32_t)((uint64_t)m >> 32);
    acc += (uint32_t)u;
  }
  return acc;
}

/* Division as RISC-V defines it, by zero and the most negative word by -1
 * included: the instructions on the target, the same results on the host
 * (where C leaves those cases undefined). */
#ifdef HOST
static int32_t sdiv(int32_t a, int32_t b) { return b == 0 ? -1 : (a == INT32_MIN && b == -1) ? a : a / b; }
static int32_t srem(int32_t a, int32_t b) { return b == 0 ? a : (a == INT32_MIN && b == -1) ? 0 : a % b; }
static uint32_t udiv(uint32_t a, uint32_t b) { return b == 0 ? 0xFFFFFFFFu : a / b; }
static uint32_t urem(uint32_t a, uint32_t b) { return b == 0 ? a : a % b; }
#else /* the instructions themselves: C would let the compiler assume those cases away */
static int32_t sdiv(int32_t a, int32_t b) { int32_t q; __asm__("div %0, %1, %2" : "=r"(q) : "r"(a), "r"(b)); return q; }
static int32_t srem(int32_t a, int32_t b) { int32_t r; __asm__("rem %0, %1, %2" : "=r"(r) : "r"(a), "r"(b)); return r; }
static uint32_t udiv(uint32_t a, uint32_t b) { uint32_t q; __asm__("divu %0, %1, %2" : "=r"(q) : "r"(a), "r"(b)); return q; }
static uint32_t urem(uint32_t a, uint32_t b) { uint32_t r; __asm__("remu %0, %1, %2" : "=r"(r) : "r"(a), "r"(b)); return r; }
#endif

/* div, divu, rem, remu by words the program does not know beforehand. */
static uint32_t divisions(void) {
  uint32_t acc = 0;
  for (int i = 0; i < 7; i++) {
    uint32_t x = words[i * 4 + 1], y = words[i * 4 + 3] >> (i * 5);
    int32_t sy = (i & 1) ? -(int32_t)(y >> 1) : (int32_t)(y >> 1);
    acc += udiv(x, y) + urem(x, y);
    acc = (acc << 3) ^ (uint32_t)sdiv((int32_t)x, sy) ^ (uint32_t)srem((int32_t)(x ^ acc), sy);
  }
  /* 0 or -1 from the data: the largest word's and the smallest word's top bit */
  int32_t zero = (int32_t)(words[WORDS - 1] >> 31) - 1, minus_one = (int32_t)(words[0] >> 31) - 1;
  int32_t most_negative = (int32_t)(words[0] | 0x80000000u) & (int32_t)0x80000000u;
  acc += (uint32_t)sdiv(most_negative, minus_one) ^ (uint32_t)srem(most_negative, minus_one);
  acc += (uint32_t)sdiv((int32_t)words[5], zero) ^ (uint32_t)srem((int32_t)words[6], zero);
  acc += (uint32_t)sdiv((int32_t)words[WORDS - 2], zero) ^ (uint32_t)srem((int32_t)words[WORDS - 3], zero) << 1;
  acc += udiv(words[7], (uint32_t)zero) ^ urem(words[8], (uint32_t)zero);
  return acc;
}

/* Comparisons as values (slt, sltu, slti, sltiu) and unsigned halfwords (lhu). */
static uint32_t compares(void) {
  const uint16_t *halves = (const uint16_t *)steps;
  uint32_t n = 0;
  for (int i = 0; i + 1 < WORDS; i++) {
    uint32_t x = words[i] ^ (words[i + 1] << 9), y = words[WORDS - 1 - i];
    n += x < y;
    n += (int32_t)x < (int32_t)y;
    n += (int32_t)(x ^ n) < 1000;
    n += (x ^ n) < 2000u;
    n = (n << 1) ^ halves[i] ^ (n >> 7);
    n |= (uint32_t)i << 20;
  }
  return n;
}

__attribute__((noinline)) static void run_round(uint32_t seed, uint32_t round) {
  uint32_t state = seed ^ (round * 0x9E3779B9u);
  if (state == 0) state = 1;
  for (int i = 0; i < WORDS; i++) words[i] = xorshift(&state);
  emit(round);
  sort(words, WORDS);
  emit(words[0]);
  emit(words[WORDS - 1]);
  uint32_t crc = crc32((const uint8_t *)words, (int)sizeof words);
  emit(crc);
  uint32_t primes;
  uint32_t weighted = sieve(&primes);
  emit(primes);
  emit(weighted);
  uint32_t sums = signed_sums();
  emit(sums);
  uint32_t prod = products();
  emit(prod);
  uint32_t div = divisions();
  emit(div);
  uint32_t cmp = compares();
  emit(cmp);
  emit(crc ^ weighted ^ sums ^ prod ^ div ^ cmp ^ (primes << 24));
}

#ifdef HOST
int main(int argc, char **argv) {
  if (argc != 3) {
    fprintf(stderr, "usage: host SEED ROUNDS\n");
    return 2;
  }
  uint32_t seed = (uint32_t)strtoul(argv[1], 0, 0);
  uint32_t rounds = (uint32_t)strtoul(argv[2], 0, 0);
  for (uint32_t r = 0; r < rounds; r++) run_round(seed, r);
  return 0;
}
#else
void main(void) __attribute__((noreturn));
void main(void) {
  for (uint32_t round = 0;; round++) run_round(SEED_PORT, round);
}
#endif
