// Four coefficients written through a port and read all at once (fixed
// addresses), multiplied with four taps of a shift register and summed.
module coef_bank(input clk, input rst, input we, input [1:0] addr, input [3:0] data,
                 input [3:0] sample, output [9:0] acc);
  reg [3:0] coef [0:3];
  reg [3:0] tap [0:3];
  integer k;
  initial for (k = 0; k < 4; k = k + 1) begin
    coef[k] = k;
    tap[k] = 0;
  end
  always @(posedge clk) begin
    if (rst) begin
      for (k = 0; k < 4; k = k + 1) coef[k] <= 0;
    end else if (we) begin
      coef[addr] <= data;
    end
    tap[0] <= sample;
    for (k = 1; k < 4; k = k + 1) tap[k] <= tap[k-1];
  end
  assign acc = coef[0] * tap[0] + coef[1] * tap[1] + coef[2] * tap[2] + coef[3] * tap[3];
endmodule
