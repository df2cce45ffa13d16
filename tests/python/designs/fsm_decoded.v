// A 5-state machine, its outputs decoded from the state by a case: the
// shape synthesis takes for a state machine and re-encodes, one-hot.
module fsm_decoded(input clk, input rst, input go, input stop, output reg busy, output reg [1:0] phase);
  localparam [2:0] IDLE = 3'd0, LOAD = 3'd1, RUN = 3'd2, DRAIN = 3'd5, DONE = 3'd7;
  reg [2:0] state;
  always @(posedge clk)
    if (rst) state <= IDLE;
    else case (state)
      IDLE:  if (go) state <= LOAD;
      LOAD:  state <= RUN;
      RUN:   if (stop) state <= DRAIN;
      DRAIN: state <= go ? RUN : DONE;
      DONE:  state <= IDLE;
      default: state <= IDLE;
    endcase
  always @*
    case (state)
      LOAD:  begin busy = 1; phase = 2'd0; end
      RUN:   begin busy = 1; phase = 2'd1; end
      DRAIN: begin busy = 1; phase = 2'd2; end
      DONE:  begin busy = 0; phase = 2'd3; end
      default: begin busy = 0; phase = 2'd0; end
    endcase
endmodule
