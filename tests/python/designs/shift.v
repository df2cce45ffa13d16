// 8-bit shift register with a parallel load and a serial output.
module shift(input clk, input load, input sin, input [7:0] pin, output [7:0] q, output sout);
  reg [7:0] r = 8'b1001_0110;
  always @(posedge clk) r <= load ? pin : {r[6:0], sin};
  assign q = r;
  assign sout = r[7];
endmodule
