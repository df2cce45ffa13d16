// A RAM of 8 words of 4 bits with one clocked write port, an asynchronous
// read port and a synchronous one, and a ROM read synchronously.
module ram(input clk, input we, input [2:0] waddr, input [3:0] wdata, input [2:0] raddr,
           output [3:0] async_q, output reg [3:0] sync_q, output reg [3:0] rom_q);
  reg [3:0] mem [0:7];
  reg [3:0] rom [0:7];
  integer i;
  initial begin
    for (i = 0; i < 8; i = i + 1) mem[i] = i[3:0] * 4'd3;
    rom[0] = 4'h7; rom[1] = 4'h1; rom[2] = 4'hc; rom[3] = 4'h0;
    rom[4] = 4'hf; rom[5] = 4'h9; rom[6] = 4'h4; rom[7] = 4'h2;
    sync_q = 4'd0; rom_q = 4'd0;
  end
  always @(posedge clk) begin
    if (we) mem[waddr] <= wdata;
    sync_q <= mem[raddr];
    rom_q <= rom[raddr];
  end
  assign async_q = mem[raddr];
endmodule
