// Signed 6x6 multiply and unsigned divide by a constant.
module mul6(input signed [5:0] a, input signed [5:0] b, output signed [11:0] p, output [5:0] q);
  assign p = a * b;
  assign q = $unsigned(a) / 6'd3;
endmodule
