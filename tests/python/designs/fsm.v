// Sequence detector for 1011 (overlapping), a Moore machine with a
// synchronous reset to IDLE and a one-hot view of its state.
module fsm(input clk, input reset, input din, output found, output [3:0] onehot);
  localparam [2:0] IDLE = 3'd0, S1 = 3'd1, S10 = 3'd2, S101 = 3'd3, S1011 = 3'd4;
  reg [2:0] state = IDLE;
  always @(posedge clk)
    if (reset) state <= IDLE;
    else case (state)
      IDLE:  state <= din ? S1 : IDLE;
      S1:    state <= din ? S1 : S10;
      S10:   state <= din ? S101 : IDLE;
      S101:  state <= din ? S1011 : S10;
      S1011: state <= din ? S1 : S10;
      default: state <= IDLE;
    endcase
  assign found = state == S1011;
  assign onehot = {state == S101, state == S10, state == S1, state == IDLE};
endmodule
