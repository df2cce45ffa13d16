// Program ROM of risc16, written by bench/clocked/asm.py from programs/sortcrc.s; do not edit.
module risc16_rom (
    input [7:0] addr,
    output reg [15:0] data
);
  always @* begin
    case (addr)
      8'd0: data = 16'h2280;
      8'd1: data = 16'h2400;
      8'd2: data = 16'h2601;
      8'd3: data = 16'h0850;
      8'd4: data = 16'h5700;
      8'd5: data = 16'h1481;
      8'd6: data = 16'h847c;
      8'd7: data = 16'h5040;
      8'd8: data = 16'h5041;
      8'd9: data = 16'h2402;
      8'd10: data = 16'hd890;
      8'd11: data = 16'h9849;
      8'd12: data = 16'h0a50;
      8'd13: data = 16'h4b40;
      8'd14: data = 16'h6a04;
      8'd15: data = 16'h0a60;
      8'd16: data = 16'h5140;
      8'd17: data = 16'h0910;
      8'd18: data = 16'h887c;
      8'd19: data = 16'h1481;
      8'd20: data = 16'hc1f5;
      8'd21: data = 16'h5014;
      8'd22: data = 16'h4a14;
      8'd23: data = 16'h1b41;
      8'd24: data = 16'h5a14;
      8'd25: data = 16'hd144;
      8'd26: data = 16'h2410;
      8'd27: data = 16'h2200;
      8'd28: data = 16'hd603;
      8'd29: data = 16'h5640;
      8'd30: data = 16'h1241;
      8'd31: data = 16'h82bc;
      8'd32: data = 16'h2201;
      8'd33: data = 16'h4640;
      8'd34: data = 16'h1840;
      8'd35: data = 16'h6805;
      8'd36: data = 16'h4b3f;
      8'd37: data = 16'hb743;
      8'd38: data = 16'h5b00;
      8'd39: data = 16'h193f;
      8'd40: data = 16'hc1fa;
      8'd41: data = 16'h5700;
      8'd42: data = 16'h1241;
      8'd43: data = 16'h82b5;
      8'd44: data = 16'h4a00;
      8'd45: data = 16'hd144;
      8'd46: data = 16'h4a0f;
      8'd47: data = 16'hd144;
      8'd48: data = 16'h2c21;
      8'd49: data = 16'h3c10;
      8'd50: data = 16'h27ff;
      8'd51: data = 16'h2200;
      8'd52: data = 16'h4a40;
      8'd53: data = 16'h06ec;
      8'd54: data = 16'h2810;
      8'd55: data = 16'heac1;
      8'd56: data = 16'h9601;
      8'd57: data = 16'h0b74;
      8'd58: data = 16'h1740;
      8'd59: data = 16'h193f;
      8'd60: data = 16'h783a;
      8'd61: data = 16'h1241;
      8'd62: data = 16'h82b5;
      8'd63: data = 16'hd0c4;
      8'd64: data = 16'h2c7f;
      8'd65: data = 16'h2e80;
      8'd66: data = 16'h2600;
      8'd67: data = 16'h2200;
      8'd68: data = 16'h4a40;
      8'd69: data = 16'h0b72;
      8'd70: data = 16'h0b78;
      8'd71: data = 16'h4b40;
      8'd72: data = 16'h06e8;
      8'd73: data = 16'h1241;
      8'd74: data = 16'h82b9;
      8'd75: data = 16'hd0c4;
      8'd76: data = 16'h4a14;
      8'd77: data = 16'h2ce8;
      8'd78: data = 16'h3c03;
      8'd79: data = 16'h6b81;
      8'd80: data = 16'hc1c5;
      default: data = 16'hf000;
    endcase
  end
endmodule
