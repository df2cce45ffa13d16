// A small ALU: the case statement becomes multiplexers.
module alu4(input [3:0] a, input [3:0] b, input [1:0] op, output reg [3:0] y, output zero, output eq, output lt);
  always @* begin
    case (op)
      2'd0: y = a + b;
      2'd1: y = a - b;
      2'd2: y = a & ~b;
      default: y = a ^ (b | 4'b0101);
    endcase
  end
  assign zero = (y == 4'd0);
  assign eq = (a == b);
  assign lt = $signed(a) < $signed(b);
endmodule
