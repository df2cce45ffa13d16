module memory(input clk, input we, input [2:0] addr, input [3:0] din, output [3:0] dout);
  reg [3:0] mem [0:7];
  always @(posedge clk) if (we) mem[addr] <= din;
  assign dout = mem[addr];
endmodule
