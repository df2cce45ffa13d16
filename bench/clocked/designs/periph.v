// A timer block of N channels and a serial transmitter, with the clocking
// of a real peripheral: per-channel clock enables and synchronous resets,
// an asynchronous active-low reset of everything, an asynchronous
// active-high reset of the transmitter, and registers on both clock edges.
//
// Channel i (registers written through wr/addr/wdata, addr = 4*i + field):
//   field 0 prescaler divisor (8 bits), 1 period (16), 2 duty (16), 3 compare (16).
//   While ch_en[i] is 1: the prescaler counts to its divisor and then ticks;
//   each tick advances the 16-bit counter, which wraps to 0 after `period`
//   (pulsing wrap[i] and counting the wraps in a 16-bit event counter);
//   pwm[i] is counter < duty; match[i] is counter == compare.
//   A CRC-16 (polynomial 0x8005) absorbs the channel's din bit, sampled on
//   the falling edge before, at every rising edge with ch_en[i] = 1.
//   ch_srst[i] clears the channel's counters and CRC (not its settings).
// Transmitter: a write to address 4*N loads a byte into a 10-bit frame
// (start bit, 8 data bits, stop bit); a write to 4*N + 1 sets the 16-bit
// baud divisor. Reset by arst (asynchronous) and tx_srst_n (synchronous).
// Read-back: rdata holds, registered at the rising edge, the field raddr
// selects: raddr = 8*i + k with k:
// 0 {prescaler count, divisor}, 1 period, 2 duty, 3 compare, 4 counter, 5 CRC,
// 6 event counter, 7 capture: the counter at the last falling edge where the
// channel's din was 1 after being 0 at the falling edge before (both edges
// of the clock sample din: the falling edge for the CRC and the capture).
module periph #(
    parameter N = 20
) (
    input clk,
    input rst_n,
    input arst,
    input tx_srst_n,
    input [N-1:0] ch_en,
    input [N-1:0] ch_srst,
    input [N-1:0] din,
    input wr,
    input [7:0] addr,
    input [15:0] wdata,
    input [7:0] raddr,
    output [N-1:0] pwm,
    output [N-1:0] match,
    output reg [N-1:0] wrap,
    output reg [15:0] rdata,
    output tx,
    output tx_busy
);
  wire [16*8*N-1:0] fields;

  genvar i;
  generate
    for (i = 0; i < N; i = i + 1) begin : ch
      reg [7:0] divisor, prescale;
      reg [15:0] period, duty, compare, count, crc, events;
      reg sample;  // din, sampled on the falling edge
      reg [15:0] capture;  // the counter at the falling edge where din is first seen 1
      wire tick = ch_en[i] && prescale == divisor;
      wire at_end = count == period;

      always @(posedge clk or negedge rst_n)
        if (!rst_n) begin
          divisor <= 8'd0;
          period <= 16'hffff;
          duty <= 16'h8000;
          compare <= 16'd0;
        end else if (wr) begin
          if (addr == 4 * i) divisor <= wdata[7:0];
          if (addr == 4 * i + 1) period <= wdata;
          if (addr == 4 * i + 2) duty <= wdata;
          if (addr == 4 * i + 3) compare <= wdata;
        end

      always @(negedge clk or negedge rst_n)
        if (!rst_n) begin
          sample <= 1'b0;
          capture <= 16'd0;
        end else begin
          sample <= din[i];
          if (din[i] && !sample) capture <= count;
        end

      always @(posedge clk or negedge rst_n)
        if (!rst_n) begin
          prescale <= 8'd0;
          count <= 16'd0;
          events <= 16'd0;
          crc <= 16'hffff;
          wrap[i] <= 1'b0;
        end else if (ch_srst[i]) begin
          prescale <= 8'd0;
          count <= 16'd0;
          events <= 16'd0;
          crc <= 16'hffff;
          wrap[i] <= 1'b0;
        end else if (ch_en[i]) begin
          prescale <= tick ? 8'd0 : prescale + 8'd1;
          wrap[i] <= tick && at_end;
          if (tick) begin
            count <= at_end ? 16'd0 : count + 16'd1;
            if (at_end) events <= events + 16'd1;
          end
          crc <= {crc[14:0], 1'b0} ^ ((crc[15] ^ sample) ? 16'h8005 : 16'h0000);
        end

      assign pwm[i] = count < duty;
      assign match[i] = count == compare;
      assign fields[128*i+:128] = {capture, events, crc, count, compare, duty, period, prescale, divisor};
    end
  endgenerate

  // The transmitter: bit time = baud + 1 cycles.
  reg [15:0] baud, baud_count;
  reg [9:0] frame;
  reg [3:0] bits_left;
  wire baud_tick = baud_count == baud;
  always @(posedge clk or posedge arst)
    if (arst) begin
      baud <= 16'd3;
      baud_count <= 16'd0;
      frame <= 10'h3ff;
      bits_left <= 4'd0;
    end else if (!tx_srst_n) begin
      baud_count <= 16'd0;
      frame <= 10'h3ff;
      bits_left <= 4'd0;
    end else begin
      if (wr && addr == 4 * N + 1) baud <= wdata;
      if (wr && addr == 4 * N && bits_left == 4'd0) begin
        frame <= {1'b1, wdata[7:0], 1'b0};
        bits_left <= 4'd10;
        baud_count <= 16'd0;
      end else if (bits_left != 4'd0) begin
        baud_count <= baud_tick ? 16'd0 : baud_count + 16'd1;
        if (baud_tick) begin
          frame <= {1'b1, frame[9:1]};
          bits_left <= bits_left - 4'd1;
        end
      end
    end
  assign tx = frame[0];
  assign tx_busy = bits_left != 4'd0;

  always @(posedge clk or negedge rst_n)
    if (!rst_n) rdata <= 16'd0;
    else if (raddr[7:3] < N) rdata <= fields[raddr*16+:16];
    else if (raddr[7:3] == N) rdata <= raddr[0] ? baud : {2'd0, tx_busy, tx, bits_left, frame[9:2]};
    else rdata <= 16'd0;
endmodule
