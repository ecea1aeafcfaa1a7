`default_nettype none
// The bridge chip's asynchronous 245 FIFO (either interface of an FT2232H), as two valid/ready byte
// streams in the FPGA's own clock domain.
//
// RXF# and TXE# are asynchronous to clk and pass SYNC_STAGES flip-flops first, so the core sees each
// flag as it was SYNC_STAGES clocks ago. The chip raises RXF# (TXE#) up to 14 ns after RD# rises (WR#
// falls) and keeps it high at least 49 ns after the strobe ends; until the synchroniser holds a sample
// taken after that rise, the old low flag is stale and must not start another strobe (acting on it
// reads a byte that is not there). The core therefore ignores the flag for SYNC_STAGES + 1 clocks after
// RD# rises (WR# falls), which covers 14 ns whenever the clock period is at least 14 ns (up to 71 MHz).
//
// Timing, in clocks of clk (period T ns); the FT2232H limits and the values for 48 MHz (T = 20.83 ns):
//   RD_ACTIVE  RD# low; data sampled at the edge RD# rises:  RD_ACTIVE*T >= 30 ns (pulse) and
//              >= 14 ns + input delay (RD# to data).                              48 MHz: 2 (41.7 ns)
//   RD_RECOVER RD# high before the next fall (at least SYNC_STAGES + 1, see above). 48 MHz: 3 (62.5 ns)
//   WR_SETUP   D driven before WR# falls:                    WR_SETUP*T >= 5 ns.  48 MHz: 1 (20.8 ns)
//   WR_ACTIVE  WR# low:                                      WR_ACTIVE*T >= 30 ns. 48 MHz: 2 (41.7 ns)
//   WR_HOLD    D kept after WR# rises:                       WR_HOLD*T >= 5 ns.   48 MHz: 1 (20.8 ns)
//   WR_RECOVER WR# high before the next fall:                WR_RECOVER*T >= 49 ns covers the flag's
//              inactive time (the flag itself decides; this only spaces the strobes). 48 MHz: 3
// For another clock: RD_ACTIVE = ceil(30/T), WR_ACTIVE = ceil(30/T), WR_SETUP = WR_HOLD = ceil(5/T),
// RD_RECOVER = max(SYNC_STAGES + 1, ceil(49/T)), WR_RECOVER = ceil(49/T) (all at least 1), with
// T >= 14 ns. One byte takes RD_ACTIVE + SYNC_STAGES + ceil(49/T) clocks or so: the flag comes back
// low 49 ns after the strobe at the soonest and then passes the synchroniser.
//
// Bus: the core drives D only from the clock after RD# rose and releases it a clock before RD# falls.
// A strobe starts only when the flag says so and the other direction is idle; when both directions have
// work they take turns, byte by byte.
module cv_ft245_async #(
    parameter integer SYNC_STAGES = 2,
    parameter integer RD_ACTIVE   = 2,
    parameter integer RD_RECOVER  = 3,
    parameter integer WR_SETUP    = 1,
    parameter integer WR_ACTIVE   = 2,
    parameter integer WR_HOLD     = 1,
    parameter integer WR_RECOVER  = 3
) (
    input  wire       clk,
    input  wire       rst,
    input  wire       rxf_n,
    input  wire       txe_n,
    output wire       rd_n,
    output wire       wr_n,
    input  wire [7:0] d_in,
    output wire [7:0] d_out,
    output wire       d_oe,
    output wire [7:0] rx_data,
    output wire       rx_valid,
    input  wire       rx_ready,
    input  wire [7:0] tx_data,
    input  wire       tx_valid,
    output wire       tx_ready
);
    // Clocks the flag is ignored after the strobe that makes the chip raise it.
    localparam integer RD_BLANK = (RD_RECOVER > SYNC_STAGES + 1) ? RD_RECOVER : SYNC_STAGES + 1;
    localparam integer WR_BLANK = SYNC_STAGES + 1;
    localparam [2:0] S_IDLE = 3'd0, S_READ = 3'd1, S_SETUP = 3'd2, S_WRITE = 3'd3, S_HOLD = 3'd4;

    (* ASYNC_REG = "TRUE" *) reg [SYNC_STAGES-1:0] rxf_sync;
    (* ASYNC_REG = "TRUE" *) reg [SYNC_STAGES-1:0] txe_sync;
    wire rxf_seen = rxf_sync[SYNC_STAGES-1];
    wire txe_seen = txe_sync[SYNC_STAGES-1];

    reg [2:0] state;
    reg [7:0] count;        // clocks spent in the current strobe phase
    reg [7:0] rd_since;     // clocks since RD# rose, saturating
    reg [7:0] wr_since;     // clocks since WR# rose, saturating
    reg [7:0] wr_fall;      // clocks since WR# fell, saturating
    reg prefer_write;
    reg rd_n_q, wr_n_q, d_oe_q;
    reg [7:0] d_out_q;

    // Two-byte receive buffer: a read starts only with room for its byte.
    reg [7:0] rx_mem[0:1];
    reg rx_wp, rx_rp;
    reg [1:0] rx_count;
    // The byte to send next, held until its strobe is done.
    reg [7:0] tx_byte;
    reg tx_full;

    wire rx_pop = rx_valid && rx_ready;
    wire tx_push = tx_valid && tx_ready;
    wire rx_push = state == S_READ && count == RD_ACTIVE[7:0] - 8'd1;
    wire tx_done = state == S_WRITE && count == WR_ACTIVE[7:0] - 8'd1;

    // The flags say go, the stale window after the last strobe is over, and there is room (a byte).
    // (Counters compared as count + 1 >= clocks: the count of this clock included.)
    wire rd_flag_ok = !rxf_seen && {1'b0, rd_since} + 9'd1 >= RD_BLANK[8:0] && rx_count != 2'd2;
    wire wr_flag_ok = !txe_seen && {1'b0, wr_since} + 9'd1 >= WR_RECOVER[8:0] &&
                      {1'b0, wr_fall} + 9'd1 >= WR_BLANK[8:0];
    wire setup_met = {1'b0, count} + 9'd1 >= WR_SETUP[8:0];
    // With work both ways the directions alternate; a direction whose flag is high never blocks the other.
    wire read_first = rd_flag_ok && (!prefer_write || !wr_flag_ok || !tx_full);

    always @(posedge clk) begin
        if (rst) begin
            rxf_sync <= {SYNC_STAGES{1'b1}};
            txe_sync <= {SYNC_STAGES{1'b1}};
            state <= S_IDLE;
            count <= 8'd0;
            rd_since <= 8'hFF;
            wr_since <= 8'hFF;
            wr_fall <= 8'hFF;
            prefer_write <= 1'b0;
            rd_n_q <= 1'b1;
            wr_n_q <= 1'b1;
            d_oe_q <= 1'b0;
            d_out_q <= 8'd0;
            rx_wp <= 1'b0;
            rx_rp <= 1'b0;
            rx_count <= 2'd0;
            tx_full <= 1'b0;
            tx_byte <= 8'd0;
        end else begin
            rxf_sync <= {rxf_sync[SYNC_STAGES-2:0], rxf_n};
            txe_sync <= {txe_sync[SYNC_STAGES-2:0], txe_n};
            if (rd_since != 8'hFF) rd_since <= rd_since + 8'd1;
            if (wr_since != 8'hFF) wr_since <= wr_since + 8'd1;
            if (wr_fall != 8'hFF) wr_fall <= wr_fall + 8'd1;
            count <= count + 8'd1;

            if (rx_push) begin
                rx_mem[rx_wp] <= d_in;
                rx_wp <= ~rx_wp;
            end
            if (rx_pop) rx_rp <= ~rx_rp;
            rx_count <= rx_count + {1'b0, rx_push} - {1'b0, rx_pop};

            if (tx_push) begin
                tx_byte <= tx_data;
            end
            if (tx_push) tx_full <= 1'b1;
            else if (tx_done) tx_full <= 1'b0;

            case (state)
                S_IDLE: begin  // D released, no strobe
                    count <= 8'd0;
                    if (read_first) begin
                        state <= S_READ;
                        rd_n_q <= 1'b0;
                        prefer_write <= 1'b1;
                    end else if (tx_full) begin
                        state <= S_SETUP;
                        d_oe_q <= 1'b1;
                        d_out_q <= tx_byte;
                    end
                end
                S_READ: begin
                    if (rx_push) begin
                        state <= S_IDLE;
                        rd_n_q <= 1'b1;
                        rd_since <= 8'd0;
                    end
                end
                S_SETUP: begin  // D driven with the next byte, waiting for TXE# and the set-up time
                    if (setup_met) count <= count;
                    if (read_first) begin
                        state <= S_IDLE;  // give the bus back for a read; the byte stays queued
                        d_oe_q <= 1'b0;
                    end else if (setup_met && wr_flag_ok) begin
                        state <= S_WRITE;
                        count <= 8'd0;
                        wr_n_q <= 1'b0;
                        wr_fall <= 8'd0;
                        prefer_write <= 1'b0;
                    end
                end
                S_WRITE: begin
                    if (tx_done) begin
                        state <= S_HOLD;
                        count <= 8'd0;
                        wr_n_q <= 1'b1;
                        wr_since <= 8'd0;
                    end
                end
                default: begin  // S_HOLD: D stays after WR# rose
                    if (count == WR_HOLD[7:0] - 8'd1) begin
                        count <= 8'd0;
                        if (tx_full && !read_first) begin
                            state <= S_SETUP;
                            d_out_q <= tx_byte;
                        end else begin
                            state <= S_IDLE;
                            d_oe_q <= 1'b0;
                        end
                    end
                end
            endcase
        end
    end

    assign rd_n = rd_n_q;
    assign wr_n = wr_n_q;
    assign d_out = d_out_q;
    assign d_oe = d_oe_q;
    assign rx_data = rx_mem[rx_rp];
    assign rx_valid = rx_count != 2'd0;
    assign tx_ready = !tx_full;

`ifdef FORMAL
    reg f_past = 1'b0;
    initial assume (rst);
    always @(posedge clk) f_past <= 1'b1;
    always @(*) begin
        if (f_past && !rst) begin
            assert (rx_count <= 2'd2);
            if (rx_push) assert (rx_count != 2'd2);
            // The core never drives D while RD# lets the chip drive it, and never strobes both.
            assert (!(d_oe_q && !rd_n_q));
            assert (rd_n_q || wr_n_q);
            if (!wr_n_q) assert (d_oe_q && tx_full);
        end
    end
    always @(posedge clk) begin
        if (f_past && !$past(rst) && !rst) begin
            // A strobe falls only when the synchronised flag was low.
            if (!rd_n_q && $past(rd_n_q)) assert (!$past(rxf_seen));
            if (!wr_n_q && $past(wr_n_q)) assert (!$past(txe_seen));
            // Turnaround: RD# falls only a clock after D was released; D is driven only a clock after RD#
            // rose; D stays put while WR# is low and for the clock WR# rises.
            if (!rd_n_q) assert (!$past(d_oe_q));
            if (d_oe_q) assert ($past(rd_n_q));
            if (!$past(wr_n_q)) assert (d_oe_q && d_out_q == $past(d_out_q));
        end
    end
`endif
endmodule
`default_nettype wire
