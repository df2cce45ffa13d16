// Combinational 32-bit unsigned divider: quotient and remainder. Division
// by zero gives the quotient of all ones and the dividend as remainder, as
// the restoring algorithm below does by itself.
module div32(input [31:0] n, input [31:0] d, output reg [31:0] q, output reg [31:0] r);
  reg [32:0] acc;
  integer i;
  always @* begin
    acc = 33'd0;
    q = 32'd0;
    for (i = 31; i >= 0; i = i - 1) begin
      acc = {acc[31:0], n[i]};
      if (acc >= {1'b0, d}) begin
        acc = acc - {1'b0, d};
        q[i] = 1'b1;
      end
    end
    r = acc[31:0];
  end
endmodule
