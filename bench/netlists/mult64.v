// 64 x 64 -> 128-bit unsigned combinational multiplier.
module mult64(input [63:0] a, input [63:0] b, output [127:0] p);
  assign p = a * b;
endmodule
