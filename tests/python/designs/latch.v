// A transparent-high latch and a transparent-low one with a reset.
module latch(input en, input rst, input [1:0] d, output reg [1:0] q, output reg low);
  initial begin q = 2'b00; low = 1'b0; end
  always @* if (en) q = d;
  always @* if (rst) low = 1'b0; else if (!en) low = d[0] ^ d[1];
endmodule
