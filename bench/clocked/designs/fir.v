// A pipelined FIR filter of TAPS taps on signed W-bit samples, with
// coefficients written through a port.
//
// Stage 0: a sample enters the delay line x[0..TAPS-1] when in_valid is 1.
// Stage 1: the products x[k] * c[k] (2W bits each) are registered.
// Stages 2..: a registered adder tree sums them (log2(TAPS) stages).
// Last stage: the sum is scaled to W bits (shifted right by W - 1, as for
// coefficients in Q1.(W-1) format) and saturated to the range of W bits;
// the square of each valid output adds to a 32-bit energy accumulator.
// A valid bit follows each sample through the pipeline; out_valid shows
// it at the end. rst is synchronous and clears the pipeline and the
// coefficients; clear (synchronous) clears only the energy accumulator.
module fir #(
    parameter TAPS = 8,
    parameter W = 16,
    parameter LOG2_TAPS = 3
) (
    input clk,
    input rst,
    input clear,
    input in_valid,
    input signed [W-1:0] sample,
    input coef_we,
    input [LOG2_TAPS-1:0] coef_addr,
    input signed [W-1:0] coef_data,
    output reg signed [W-1:0] out,
    output reg out_valid,
    output reg saturated,
    output reg [31:0] energy
);
  localparam PW = 2 * W;  // product width
  localparam SW = PW + LOG2_TAPS;  // sum width

  reg signed [W-1:0] x[0:TAPS-1];
  reg signed [W-1:0] c[0:TAPS-1];
  reg signed [PW-1:0] p[0:TAPS-1];
  // The adder tree: level l has TAPS >> l sums; all levels in one array.
  reg signed [SW-1:0] s[0:2*TAPS-2];
  reg [LOG2_TAPS+1:0] valid;

  integer k;
  always @(posedge clk) begin
    if (rst) begin
      for (k = 0; k < TAPS; k = k + 1) begin
        x[k] <= 0;
        c[k] <= 0;
        p[k] <= 0;
      end
      valid <= 0;
    end else begin
      if (in_valid) begin
        x[0] <= sample;
        for (k = 1; k < TAPS; k = k + 1) x[k] <= x[k-1];
      end
      if (coef_we) c[coef_addr] <= coef_data;
      for (k = 0; k < TAPS; k = k + 1) p[k] <= x[k] * c[k];
      valid <= {valid[LOG2_TAPS:0], in_valid};
    end
  end

  // s[0..TAPS-1] hold the products sign-extended (no register of their own),
  // s[TAPS..] the registered sums of the levels above.
  genvar g;
  generate
    for (g = 0; g < TAPS; g = g + 1) begin : leaves
      always @* s[g] = p[g];
    end
    for (g = 0; g < TAPS - 1; g = g + 1) begin : tree
      always @(posedge clk)
        if (rst) s[TAPS+g] <= 0;
        else s[TAPS+g] <= s[2*g] + s[2*g+1];
    end
  endgenerate

  wire signed [SW-1:0] total = s[2*TAPS-2];
  wire signed [SW-1:0] scaled = total >>> (W - 1);
  localparam signed [SW-1:0] MAX = (1 << (W - 1)) - 1;
  localparam signed [SW-1:0] MIN = -(1 << (W - 1));
  wire over = scaled > MAX;
  wire under = scaled < MIN;
  wire signed [W-1:0] rounded = over ? MAX[W-1:0] : under ? MIN[W-1:0] : scaled[W-1:0];

  always @(posedge clk) begin
    if (rst) begin
      out <= 0;
      out_valid <= 1'b0;
      saturated <= 1'b0;
    end else begin
      out <= rounded;
      out_valid <= valid[LOG2_TAPS+1];
      saturated <= over || under;
    end
    if (rst || clear) energy <= 32'd0;
    else if (valid[LOG2_TAPS+1]) energy <= energy + rounded * rounded;
  end
endmodule
