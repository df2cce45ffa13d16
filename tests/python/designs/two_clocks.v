// Two clock domains: a counter on clk_a, and on clk_b a register that
// samples it and counts the changes it sees.
module two_clocks(input clk_a, input clk_b, input en, output reg [2:0] a_count, output reg [2:0] b_seen,
                  output reg [2:0] changes);
  initial begin a_count = 3'd0; b_seen = 3'd0; changes = 3'd0; end
  always @(posedge clk_a) if (en) a_count <= a_count + 3'd1;
  always @(posedge clk_b) begin
    b_seen <= a_count;
    if (b_seen != a_count) changes <= changes + 3'd1;
  end
endmodule
