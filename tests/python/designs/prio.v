// Priority encoder, population count and a barrel shifter.
module prio(input [15:0] req, input [3:0] sh, output reg [3:0] idx, output valid, output [4:0] count,
            output [15:0] rot);
  integer i;
  always @* begin
    idx = 4'd0;
    for (i = 0; i < 16; i = i + 1)
      if (req[i]) idx = i[3:0];
  end
  assign valid = |req;
  assign count = req[0] + req[1] + req[2] + req[3] + req[4] + req[5] + req[6] + req[7]
               + req[8] + req[9] + req[10] + req[11] + req[12] + req[13] + req[14] + req[15];
  assign rot = (req << sh) | (req >> (16 - sh));
endmodule
