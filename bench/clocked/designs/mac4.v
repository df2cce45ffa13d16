// Four multiply-accumulate lanes, every register visible on `state`: the
// design of the gate-level flip-flop benchmark, where each flip-flop is
// rebuilt from NAND gates (nand_dff.v) and checked through `state`.
//
// Each cycle with en = 1, lane i registers its operands a[i], b[i] (8 bits),
// the product of the operands registered the cycle before (16 bits), and
// adds the product registered before that to its 32-bit accumulator; clr[i]
// (synchronous) clears lane i's accumulator, rst (synchronous) everything.
// sum is the total of the four accumulators (combinational).
module mac4 (
    input clk,
    input rst,
    input en,
    input [3:0] clr,
    input [31:0] a,
    input [31:0] b,
    output [31:0] sum,
    output [255:0] state
);
  reg [7:0] ra[0:3];
  reg [7:0] rb[0:3];
  reg [15:0] prod[0:3];
  reg [31:0] acc[0:3];
  integer i;
  always @(posedge clk) begin
    for (i = 0; i < 4; i = i + 1) begin
      if (rst) begin
        ra[i] <= 8'd0;
        rb[i] <= 8'd0;
        prod[i] <= 16'd0;
        acc[i] <= 32'd0;
      end else if (en) begin
        ra[i] <= a[8*i+:8];
        rb[i] <= b[8*i+:8];
        prod[i] <= ra[i] * rb[i];
        acc[i] <= clr[i] ? 32'd0 : acc[i] + {16'd0, prod[i]};
      end else if (clr[i]) begin
        acc[i] <= 32'd0;
      end
    end
  end
  assign sum = acc[0] + acc[1] + acc[2] + acc[3];
  assign state = {acc[3], acc[2], acc[1], acc[0], prod[3], prod[2], prod[1], prod[0],
                  rb[3], rb[2], rb[1], rb[0], ra[3], ra[2], ra[1], ra[0]};
endmodule
