// Registers on both edges of one clock: the falling edge samples what the
// rising edge wrote in the same cycle.
module edges(input clk, input [3:0] d, output reg [3:0] rise, output reg [3:0] fall, output reg toggle);
  initial begin rise = 4'd0; fall = 4'd0; toggle = 1'b0; end
  always @(posedge clk) rise <= d;
  always @(negedge clk) begin fall <= rise + 4'd1; toggle <= ~toggle; end
endmodule
