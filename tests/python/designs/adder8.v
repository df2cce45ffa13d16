// 8-bit adder with carry in and out.
module adder8(input [7:0] a, input [7:0] b, input cin, output [7:0] sum, output cout);
  assign {cout, sum} = a + b + cin;
endmodule
