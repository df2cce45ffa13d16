// Asynchronous resets: active-low to a nonzero value with an enable,
// an active-high set, and a register without reset behind them.
module async_reset(input clk, input rst_n, input set, input en, input [3:0] d,
                   output reg [3:0] q, output reg flag, output reg [3:0] last);
  initial begin q = 4'd0; flag = 1'b0; last = 4'd0; end
  always @(posedge clk or negedge rst_n)
    if (!rst_n) q <= 4'b1010;
    else if (en) q <= d;
  always @(posedge clk or posedge set)
    if (set) flag <= 1'b1;
    else flag <= ^d;
  always @(posedge clk) last <= q ^ {3'b0, flag};
endmodule
