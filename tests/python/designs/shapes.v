// Port shapes: ascending and offset ranges, pass-through and constant bits,
// an input that nothing reads, an output that repeats another output.
module shapes(input [0:3] up, input [7:4] hi, input unused, input s,
              output [0:3] up_inv, output [5:2] mixed, output pass, output one, output [1:0] twice);
  assign up_inv = ~up;
  assign mixed = {hi[7], 1'b0, up[1] ^ hi[4], 1'b1};
  assign pass = s;
  assign one = 1'b1;
  assign twice = {up_inv[0], up_inv[0]};
endmodule
