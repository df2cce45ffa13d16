// A multi-cycle RV32IM core with one memory bus.
//
// The bus has synchronous reads, like FPGA block RAM: the core puts out an
// address in one cycle and reads mem_rdata in the next; byte lanes mem_we
// write mem_wdata at the clock edge of the cycle that puts out the address.
//
// States, and the cycles an instruction takes:
//   FETCH  put out pc (after reset, a store or a division)
//   EXEC   the instruction is mem_rdata; read rs1 and rs2, compute, write rd.
//          Everything but loads, stores and divisions ends here and puts out
//          the next pc, so that the next EXEC follows at once: 1 cycle.
//          A load puts out its address and goes to LOAD: 2 cycles. A store
//          writes and goes to FETCH: 2 cycles.
//   LOAD   writes rd from mem_rdata (lb lh lw lbu lhu) and puts out pc.
//   DIV    a restoring divider, one quotient bit per cycle: div divu rem
//          remu take 35 cycles with the FETCH that follows.
//   TRAP   stays there until reset; trap is 1.
// mul mulh mulhsu mulhu take one cycle: a 33 x 33 signed `*`.
//
// Traps: ecall, ebreak, csr instructions, and every encoding RV32IM does not
// define (an opcode, funct3 or funct7 outside the base set and M, or the two
// low bits not 11). fence and fence.i do nothing. Loads and stores use the
// address as it is on the bus: a word access ignores addr[1:0], a halfword
// addr[0] (no misaligned accesses, no trap for them); jump targets drop
// bit 0 (jalr, as the instruction set says) and the bus ignores bit 1 of pc.
// Division by zero and the signed overflow give what RISC-V defines.
//
// rst is synchronous: pc 0, state FETCH. The register file is not reset:
// `reg [31:0] regs [0:31]` with two asynchronous reads and one write, as
// distributed RAM; x0 reads as 0.
module rv32_core (
    input clk,
    input rst,
    output reg [31:0] mem_addr,
    output reg [31:0] mem_wdata,
    output reg [3:0] mem_we,
    input [31:0] mem_rdata,
    output reg [31:0] pc,
    output trap
);
  localparam S_FETCH = 3'd0, S_EXEC = 3'd1, S_LOAD = 3'd2, S_DIV = 3'd3, S_TRAP = 3'd4;

  localparam OP_LUI = 7'b0110111, OP_AUIPC = 7'b0010111, OP_JAL = 7'b1101111, OP_JALR = 7'b1100111,
             OP_BRANCH = 7'b1100011, OP_LOAD = 7'b0000011, OP_STORE = 7'b0100011, OP_IMM = 7'b0010011,
             OP_OP = 7'b0110011, OP_FENCE = 7'b0001111;

  reg [2:0] state;
  assign trap = state == S_TRAP;

  reg [31:0] regs[0:31];

  // ---------------------------------------------------------------- decode
  wire [31:0] insn = mem_rdata;
  wire [6:0] opcode = insn[6:0];
  wire [4:0] rd = insn[11:7];
  wire [2:0] funct3 = insn[14:12];
  wire [4:0] rs1 = insn[19:15];
  wire [4:0] rs2 = insn[24:20];
  wire [6:0] funct7 = insn[31:25];

  wire [31:0] imm_i = {{20{insn[31]}}, insn[31:20]};
  wire [31:0] imm_s = {{20{insn[31]}}, insn[31:25], insn[11:7]};
  wire [31:0] imm_b = {{19{insn[31]}}, insn[31], insn[7], insn[30:25], insn[11:8], 1'b0};
  wire [31:0] imm_u = {insn[31:12], 12'd0};
  wire [31:0] imm_j = {{11{insn[31]}}, insn[31], insn[19:12], insn[20], insn[30:21], 1'b0};

  wire [31:0] a = rs1 == 5'd0 ? 32'd0 : regs[rs1];
  wire [31:0] b = rs2 == 5'd0 ? 32'd0 : regs[rs2];

  wire is_lui = opcode == OP_LUI;
  wire is_auipc = opcode == OP_AUIPC;
  wire is_jal = opcode == OP_JAL;
  wire is_jalr = opcode == OP_JALR && funct3 == 3'd0;
  wire is_branch = opcode == OP_BRANCH && funct3 != 3'd2 && funct3 != 3'd3;
  wire is_load = opcode == OP_LOAD && (funct3 == 3'd0 || funct3 == 3'd1 || funct3 == 3'd2 ||
                                       funct3 == 3'd4 || funct3 == 3'd5);
  wire is_store = opcode == OP_STORE && (funct3 == 3'd0 || funct3 == 3'd1 || funct3 == 3'd2);
  wire shift_ok = funct3 == 3'd1 ? funct7 == 7'd0 : funct7 == 7'd0 || funct7 == 7'b0100000;
  wire is_imm = opcode == OP_IMM && (funct3 == 3'd1 || funct3 == 3'd5 ? shift_ok : 1'b1);
  wire is_alu = opcode == OP_OP && (funct7 == 7'd0 ||
                                    (funct7 == 7'b0100000 && (funct3 == 3'd0 || funct3 == 3'd5)));
  wire is_muldiv = opcode == OP_OP && funct7 == 7'b0000001;
  wire is_mul = is_muldiv && !funct3[2];
  wire is_div = is_muldiv && funct3[2];
  wire is_fence = opcode == OP_FENCE && (funct3 == 3'd0 || funct3 == 3'd1);
  wire legal = insn[1:0] == 2'b11 && (is_lui || is_auipc || is_jal || is_jalr || is_branch || is_load ||
                                      is_store || is_imm || is_alu || is_muldiv || is_fence);

  // ---------------------------------------------------------------- execute
  wire [31:0] operand = opcode == OP_OP ? b : imm_i;
  wire [4:0] shamt = operand[4:0];
  wire subtract = opcode == OP_OP && funct7[5];
  wire [31:0] sra = $signed(a) >>> shamt;
  reg [31:0] alu;
  always @* begin
    case (funct3)
      3'd0: alu = subtract ? a - operand : a + operand;
      3'd1: alu = a << shamt;
      3'd2: alu = {31'd0, $signed(a) < $signed(operand)};
      3'd3: alu = {31'd0, a < operand};
      3'd4: alu = a ^ operand;
      3'd5: alu = funct7[5] ? sra : a >> shamt;
      3'd6: alu = a | operand;
      default: alu = a & operand;
    endcase
  end

  // mul: low word; mulh: signed x signed; mulhsu: signed x unsigned; mulhu.
  wire a_signed = funct3 == 3'd1 || funct3 == 3'd2;
  wire b_signed = funct3 == 3'd1;
  wire signed [32:0] mul_a = {a_signed & a[31], a};
  wire signed [32:0] mul_b = {b_signed & b[31], b};
  wire signed [65:0] product = mul_a * mul_b;
  wire [31:0] mul_result = funct3 == 3'd0 ? product[31:0] : product[63:32];

  reg taken;
  always @* begin
    case (funct3)
      3'd0: taken = a == b;
      3'd1: taken = a != b;
      3'd4: taken = $signed(a) < $signed(b);
      3'd5: taken = $signed(a) >= $signed(b);
      3'd6: taken = a < b;
      default: taken = a >= b;
    endcase
  end

  wire [31:0] pc_plus4 = pc + 32'd4;
  wire [31:0] jalr_target = (a + imm_i) & ~32'd1;
  reg [31:0] next_pc;
  always @* begin
    if (is_jal) next_pc = pc + imm_j;
    else if (is_jalr) next_pc = jalr_target;
    else if (is_branch && taken) next_pc = pc + imm_b;
    else next_pc = pc_plus4;
  end

  reg [31:0] result;
  always @* begin
    if (is_lui) result = imm_u;
    else if (is_auipc) result = pc + imm_u;
    else if (is_jal || is_jalr) result = pc_plus4;
    else if (is_mul) result = mul_result;
    else result = alu;
  end
  wire writes_rd = is_lui || is_auipc || is_jal || is_jalr || is_imm || is_alu || is_mul;

  wire [31:0] load_addr = a + imm_i;
  wire [31:0] store_addr = a + imm_s;

  // ---------------------------------------------------------------- loads, division: what later states need
  reg [4:0] wait_rd;
  reg [2:0] wait_funct3;
  reg [1:0] wait_offset;

  reg [31:0] loaded;
  always @* begin
    case (wait_funct3)
      3'd0: loaded = {{24{mem_rdata[8 * wait_offset + 7]}}, mem_rdata[8 * wait_offset +: 8]};
      3'd1: loaded = {{16{mem_rdata[16 * wait_offset[1] + 15]}}, mem_rdata[16 * wait_offset[1] +: 16]};
      3'd4: loaded = {24'd0, mem_rdata[8 * wait_offset +: 8]};
      3'd5: loaded = {16'd0, mem_rdata[16 * wait_offset[1] +: 16]};
      default: loaded = mem_rdata;
    endcase
  end

  reg [31:0] quotient, divisor;
  reg [32:0] remainder;
  reg [5:0] div_count;
  reg negate_q, negate_r;
  wire [32:0] shifted = {remainder[31:0], quotient[31]};
  wire [32:0] difference = shifted - {1'b0, divisor};
  wire [31:0] div_result = wait_funct3[1] ? (negate_r ? -remainder[31:0] : remainder[31:0])
                                          : (negate_q ? -quotient : quotient);
  wire exec_div_signed = !funct3[0];
  wire [31:0] a_magnitude = exec_div_signed && a[31] ? -a : a;
  wire [31:0] b_magnitude = exec_div_signed && b[31] ? -b : b;

  // ---------------------------------------------------------------- the bus
  always @* begin
    mem_addr = pc;
    mem_wdata = b;
    mem_we = 4'd0;
    if (state == S_EXEC) begin
      if (!legal) mem_addr = pc;
      else if (is_load) mem_addr = load_addr;
      else if (is_store) begin
        mem_addr = store_addr;
        case (funct3)
          3'd0: begin
            mem_wdata = {4{b[7:0]}};
            mem_we = 4'b0001 << store_addr[1:0];
          end
          3'd1: begin
            mem_wdata = {2{b[15:0]}};
            mem_we = store_addr[1] ? 4'b1100 : 4'b0011;
          end
          default: mem_we = 4'b1111;
        endcase
      end else if (!is_div) mem_addr = next_pc;
    end
  end

  // ---------------------------------------------------------------- the register file's write port
  reg rf_we;
  reg [4:0] rf_waddr;
  reg [31:0] rf_wdata;
  always @* begin
    rf_we = 1'b0;
    rf_waddr = rd;
    rf_wdata = result;
    case (state)
      S_EXEC: rf_we = legal && writes_rd;
      S_LOAD: begin
        rf_we = 1'b1;
        rf_waddr = wait_rd;
        rf_wdata = loaded;
      end
      S_DIV: begin
        rf_we = div_count == 6'd32;
        rf_waddr = wait_rd;
        rf_wdata = div_result;
      end
      default: ;
    endcase
  end
  always @(posedge clk) if (!rst && rf_we && rf_waddr != 5'd0) regs[rf_waddr] <= rf_wdata;

  // ---------------------------------------------------------------- state
  always @(posedge clk) begin
    if (rst) begin
      state <= S_FETCH;
      pc <= 32'd0;
    end else begin
      case (state)
        S_FETCH: state <= S_EXEC;
        S_EXEC: begin
          wait_rd <= rd;
          wait_funct3 <= funct3;
          if (!legal) state <= S_TRAP;
          else if (is_load) begin
            wait_offset <= load_addr[1:0];
            pc <= pc_plus4;
            state <= S_LOAD;
          end else if (is_store) begin
            pc <= pc_plus4;
            state <= S_FETCH;
          end else if (is_div) begin
            quotient <= a_magnitude;
            divisor <= b_magnitude;
            remainder <= 33'd0;
            div_count <= 6'd0;
            negate_q <= exec_div_signed && (a[31] ^ b[31]) && b != 32'd0;
            negate_r <= exec_div_signed && a[31];
            pc <= pc_plus4;
            state <= S_DIV;
          end else pc <= next_pc;
        end
        S_LOAD: state <= S_EXEC;
        S_DIV: begin
          if (div_count == 6'd32) state <= S_FETCH;
          else begin
            if (!difference[32]) begin
              remainder <= difference;
              quotient <= {quotient[30:0], 1'b1};
            end else begin
              remainder <= shifted;
              quotient <= {quotient[30:0], 1'b0};
            end
            div_count <= div_count + 6'd1;
          end
        end
        default: state <= S_TRAP;
      endcase
    end
  end
endmodule
