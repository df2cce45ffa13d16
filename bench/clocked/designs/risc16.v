// A 16-bit single-cycle RISC with its program ROM and a 256-word data RAM.
//
// Eight registers (r0 reads as 0), one instruction per cycle while `run` is
// 1 and the core has not halted. Instruction word: op[15:12], rd[11:9],
// ra[8:6], rb[5:3], fn[2:0]; imm6 = [5:0], imm9 = [8:0] (both sign-extended),
// imm8 = [7:0]. Branch and jump offsets count from the next instruction.
//
//   0 ALU  rd = ra (add sub and or xor shl shr sra)[fn] rb   (shifts by rb[3:0])
//   1 ADDI rd = ra + imm6          2 LI  rd = imm9        3 LHI rd = {imm8, rd[7:0]}
//   4 LD   rd = ram[ra + imm6]     5 ST  ram[ra + imm6] = rd
//   6 BEQ  7 BNE  8 BLT  9 BGE  A BLTU  B BGEU: if (rd ? ra) pc += imm6
//   C JAL  rd = pc + 1, pc += imm9
//   D EXT  fn 0: rd = (ra * rb)[15:0]  1: rd = (ra * rb)[31:16]  2: JALR rd = pc + 1, pc = ra
//          3: IN rd = in_port  4: OUT out_port = ra  5: HALT  (others: no operation)
//   E SHI  rd = ra (shl shr sra rol)[imm[5:4]] imm[3:0]
//   F HALT
//
// rst is synchronous and clears the pc, the registers, the output port and
// the halted flag; the RAM keeps its contents. The ROM is risc16_rom.v,
// written by bench/clocked/asm.py from a program in bench/clocked/programs.
module risc16 (
    input clk,
    input rst,
    input run,
    input [15:0] in_port,
    output reg [15:0] out_port,
    output reg out_strobe,
    output [7:0] pc_out,
    output reg halted,
    output [15:0] wb_data,
    output wb_en
);
  reg [7:0] pc;
  wire [15:0] insn;
  risc16_rom rom (
      .addr(pc),
      .data(insn)
  );

  wire [3:0] op = insn[15:12];
  wire [2:0] rd = insn[11:9];
  wire [2:0] ra = insn[8:6];
  wire [2:0] rb = insn[5:3];
  wire [2:0] fn = insn[2:0];
  wire [15:0] imm6 = {{10{insn[5]}}, insn[5:0]};
  wire [15:0] imm9 = {{7{insn[8]}}, insn[8:0]};

  // Register file: r1..r7 as registers, three read ports.
  wire [127:0] rf;
  assign rf[15:0] = 16'd0;
  wire step = run && !halted;
  wire we;
  wire [15:0] wdata;
  genvar g;
  generate
    for (g = 1; g < 8; g = g + 1) begin : regs
      reg [15:0] r;
      always @(posedge clk)
        if (rst) r <= 16'd0;
        else if (step && we && rd == g) r <= wdata;
      assign rf[g*16+:16] = r;
    end
  endgenerate
  wire [15:0] vd = rf[rd*16+:16];
  wire [15:0] va = rf[ra*16+:16];
  wire [15:0] vb = rf[rb*16+:16];

  // Data RAM: asynchronous read, written at the clock edge.
  reg [15:0] ram[0:255];
  wire [7:0] addr = va[7:0] + imm6[7:0];
  wire [15:0] loaded = ram[addr];
  always @(posedge clk) if (!rst && step && op == 4'h5) ram[addr] <= vd;

  reg [15:0] alu;
  always @* begin
    case (fn)
      3'd0: alu = va + vb;
      3'd1: alu = va - vb;
      3'd2: alu = va & vb;
      3'd3: alu = va | vb;
      3'd4: alu = va ^ vb;
      3'd5: alu = va << vb[3:0];
      3'd6: alu = va >> vb[3:0];
      default: alu = $signed(va) >>> vb[3:0];
    endcase
  end

  wire [31:0] product = va * vb;
  wire [3:0] amount = insn[3:0];
  reg [15:0] shifted;
  always @* begin
    case (insn[5:4])
      2'd0: shifted = va << amount;
      2'd1: shifted = va >> amount;
      2'd2: shifted = $signed(va) >>> amount;
      default: shifted = (va << amount) | (va >> (5'd16 - {1'b0, amount}));
    endcase
  end

  reg taken;
  always @* begin
    case (op)
      4'h6: taken = vd == va;
      4'h7: taken = vd != va;
      4'h8: taken = $signed(vd) < $signed(va);
      4'h9: taken = $signed(vd) >= $signed(va);
      4'hA: taken = vd < va;
      4'hB: taken = vd >= va;
      default: taken = 1'b0;
    endcase
  end

  wire [7:0] pc_next1 = pc + 8'd1;
  wire is_ext = op == 4'hD;
  wire is_halt = op == 4'hF || (is_ext && fn == 3'd5);
  wire is_out = is_ext && fn == 3'd4;

  reg [15:0] result;
  reg writes;
  always @* begin
    writes = 1'b1;
    case (op)
      4'h0: result = alu;
      4'h1: result = va + imm6;
      4'h2: result = imm9;
      4'h3: result = {insn[7:0], vd[7:0]};
      4'h4: result = loaded;
      4'hC: result = {8'd0, pc_next1};
      4'hD: begin
        case (fn)
          3'd0: result = product[15:0];
          3'd1: result = product[31:16];
          3'd2: result = {8'd0, pc_next1};
          3'd3: result = in_port;
          default: begin
            result = 16'd0;
            writes = 1'b0;
          end
        endcase
      end
      4'hE: result = shifted;
      default: begin
        result = 16'd0;
        writes = 1'b0;
      end
    endcase
  end
  assign we = writes && rd != 3'd0;
  assign wdata = result;

  reg [7:0] pc_next;
  always @* begin
    if (taken) pc_next = pc_next1 + imm6[7:0];
    else if (op == 4'hC) pc_next = pc_next1 + imm9[7:0];
    else if (is_ext && fn == 3'd2) pc_next = va[7:0];
    else if (is_halt) pc_next = pc;
    else pc_next = pc_next1;
  end

  always @(posedge clk) begin
    if (rst) begin
      pc <= 8'd0;
      halted <= 1'b0;
      out_port <= 16'd0;
      out_strobe <= 1'b0;
    end else if (step) begin
      pc <= pc_next;
      halted <= is_halt;
      out_strobe <= is_out;
      if (is_out) out_port <= va;
    end else begin
      out_strobe <= 1'b0;
    end
  end

  assign pc_out = pc;
  assign wb_data = wdata;
  assign wb_en = step && we;
endmodule
