// Combinational square root of a 64-bit value with 16 fraction bits:
// root = floor(sqrt(x) * 2^16) (32 integer bits, 16 fraction bits) and
// rem = x * 2^32 - root * root, two bits of the radicand per step.
module isqrt(input [63:0] x, output reg [47:0] root, output reg [48:0] rem);
  reg [95:0] radicand;
  reg [51:0] r;
  reg [51:0] trial;
  integer i;
  always @* begin
    radicand = {x, 32'd0};
    r = 52'd0;
    root = 48'd0;
    for (i = 47; i >= 0; i = i - 1) begin
      r = {r[49:0], radicand[2 * i +: 2]};
      trial = {2'b00, root, 2'b01};
      if (r >= trial) begin
        r = r - trial;
        root = {root[46:0], 1'b1};
      end else begin
        root = {root[46:0], 1'b0};
      end
    end
    rem = r[48:0];
  end
endmodule
