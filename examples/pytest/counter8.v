// An 8-bit counter with a synchronous reset (over the enable).
module counter8(input clk, input rst, input en, output reg [7:0] count, output wrap);
  initial count = 8'd0;
  always @(posedge clk)
    if (rst) count <= 8'd0;
    else if (en) count <= count + 8'd1;
  assign wrap = en & (count == 8'd255);
endmodule
