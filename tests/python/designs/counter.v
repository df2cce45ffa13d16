// 4-bit counter with synchronous reset (over the enable) and a wrap flag.
module counter(input clk, input rst, input en, output reg [3:0] count, output wrap);
  initial count = 4'd0;
  always @(posedge clk)
    if (rst) count <= 4'd0;
    else if (en) count <= count + 4'd1;
  assign wrap = en & (count == 4'd15);
endmodule
