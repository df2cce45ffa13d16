// A RAM of 16 words of 16 bits written by bytes at the rising edge and by
// words at the falling one, read three ways: asynchronously, synchronously
// with an enable and a synchronous reset (the old word when the same edge
// writes it), and through a registered address (the new word).
module dual_ram(input clk, input we, input [1:0] be, input [3:0] waddr, input [15:0] wdata,
                input we2, input [3:0] waddr2, input [15:0] wdata2,
                input re, input rst, input [3:0] raddr,
                output [15:0] peek, output reg [15:0] q, output [15:0] fresh);
  reg [15:0] mem [0:15];
  reg [3:0] raddr_q;
  integer i;
  initial begin
    for (i = 0; i < 16; i = i + 1) mem[i] = i * 16'h1111;
    q = 16'd0;
    raddr_q = 4'd0;
  end
  always @(posedge clk) begin
    if (we && be[0]) mem[waddr][7:0] <= wdata[7:0];
    if (we && be[1]) mem[waddr][15:8] <= wdata[15:8];
    if (rst) q <= 16'd0;
    else if (re) q <= mem[raddr];
    raddr_q <= raddr;
  end
  always @(negedge clk) if (we2) mem[waddr2] <= wdata2;
  assign peek = mem[raddr];
  assign fresh = mem[raddr_q];
endmodule
