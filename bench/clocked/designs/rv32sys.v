// A 32-bit RISC-V system: the RV32IM core of rv32_core.v on one bus with a
// program ROM, a data RAM and two ports.
//
//   0x0000_0000  ROM, 1024 words (4 KiB), from rv32sys_rom.hex ($readmemh),
//                instructions and read-only data; stores to it are ignored
//   0x0001_0000  RAM, 1024 words (4 KiB), byte lanes written by mem_we[3:0]
//   0x8000_0000  out: a store sets the output register `out` (any width
//                writes the whole word as the store put it on the bus) and
//                out_valid is 1 in the next cycle; a load reads it back
//   0x8000_0004  a load reads the input port `seed`
// The decoding is partial: addr[31] selects the ports (addr[2] which),
// else addr[16] the RAM, else the ROM; each memory uses addr[11:2].
// Every read takes one cycle (a register after the memory, as FPGA block
// RAM has). The RAM is not reset and starts unknown; the program writes
// before it reads. rst (synchronous) resets the core, out and out_valid.
//
// The program in the ROM is bench/clocked/programs/rv32/main.c (built by
// programs/rv32/build.py); pc and trap show the core's program counter and
// whether it stopped at an instruction it does not execute.
module rv32sys (
    input clk,
    input rst,
    input [31:0] seed,
    output reg [31:0] out,
    output reg out_valid,
    output [31:0] pc,
    output trap
);
  wire [31:0] addr, wdata;
  wire [3:0] we;
  wire [31:0] rdata;
  rv32_core core (
      .clk(clk),
      .rst(rst),
      .mem_addr(addr),
      .mem_wdata(wdata),
      .mem_we(we),
      .mem_rdata(rdata),
      .pc(pc),
      .trap(trap)
  );

  wire sel_io = addr[31];
  wire sel_ram = !addr[31] && addr[16];
  wire [9:0] word = addr[11:2];

  reg [31:0] rom[0:1023];
  initial $readmemh("rv32sys_rom.hex", rom);
  reg [31:0] rom_q;
  always @(posedge clk) rom_q <= rom[word];

  reg [31:0] ram[0:1023];
  reg [31:0] ram_q;
  always @(posedge clk) begin
    if (sel_ram && we[0]) ram[word][7:0] <= wdata[7:0];
    if (sel_ram && we[1]) ram[word][15:8] <= wdata[15:8];
    if (sel_ram && we[2]) ram[word][23:16] <= wdata[23:16];
    if (sel_ram && we[3]) ram[word][31:24] <= wdata[31:24];
    ram_q <= ram[word];
  end

  reg [31:0] io_q;
  always @(posedge clk) begin
    io_q <= addr[2] ? seed : out;
    if (rst) begin
      out <= 32'd0;
      out_valid <= 1'b0;
    end else begin
      out_valid <= sel_io && !addr[2] && we != 4'd0;
      if (sel_io && !addr[2] && we != 4'd0) out <= wdata;
    end
  end

  reg [1:0] source;  // which read the bus returns: 0 ROM, 1 RAM, 2 ports
  always @(posedge clk) source <= sel_io ? 2'd2 : sel_ram ? 2'd1 : 2'd0;
  assign rdata = source == 2'd2 ? io_q : source == 2'd1 ? ram_q : rom_q;
endmodule
