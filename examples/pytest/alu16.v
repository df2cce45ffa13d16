// A 16-bit ALU: add, subtract, and, xor; zero when the result is 0.
module alu16(input [15:0] a, input [15:0] b, input [1:0] op, output reg [15:0] y, output zero);
  always @*
    case (op)
      2'd0: y = a + b;
      2'd1: y = a - b;
      2'd2: y = a & b;
      default: y = a ^ b;
    endcase
  assign zero = (y == 16'd0);
endmodule
