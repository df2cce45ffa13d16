// A 16-entry FIFO of bytes over a memory: push when not full, pop when not
// empty (both in one cycle when it holds data). The outputs are functions of
// the state only: dout is the oldest byte (read asynchronously), count the
// number held.
module fifo (
    input clk,
    input push,
    input pop,
    input [7:0] din,
    output [7:0] dout,
    output empty,
    output full,
    output reg [4:0] count
);
  reg [7:0] mem [0:15];
  reg [3:0] wr = 0;
  reg [3:0] rd = 0;
  integer i;
  initial begin
    count = 0;
    for (i = 0; i < 16; i = i + 1) mem[i] = 0;
  end
  assign empty = count == 0;
  assign full = count == 16;
  assign dout = mem[rd];
  wire push_ok = push && !full;
  wire pop_ok = pop && !empty;
  always @(posedge clk) begin
    if (push_ok) begin
      mem[wr] <= din;
      wr <= wr + 1;
    end
    if (pop_ok) rd <= rd + 1;
    count <= count + push_ok - pop_ok;
  end
endmodule
