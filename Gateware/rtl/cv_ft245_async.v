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
    // Counter width: enough for the largest of the clock counts (and one more for saturation).
    localparam integer MAXC1 = RD_ACTIVE > RD_BLANK ? RD_ACTIVE : RD_BLANK;
    localparam integer MAXC2 = WR_SETUP > WR_ACTIVE ? WR_SETUP : WR_ACTIVE;
    localparam integer MAXC3 = WR_HOLD > WR_RECOVER ? WR_HOLD : WR_RECOVER;
    localparam integer MAXC4 = MAXC1 > MAXC2 ? MAXC1 : MAXC2;
    localparam integer MAXC = MAXC3 > MAXC4 ? MAXC3 : MAXC4;
    localparam integer CW = $clog2(MAXC + 1) + 1;
    localparam [CW-1:0] ZERO = {CW{1'b0}}, ONE = {{(CW - 1){1'b0}}, 1'b1}, SAT = {CW{1'b1}};
    localparam integer RD_LAST_I = RD_ACTIVE - 1, WR_LAST_I = WR_ACTIVE - 1, HOLD_LAST_I = WR_HOLD - 1;
    localparam [CW-1:0] RD_LAST = RD_LAST_I[CW-1:0], WR_LAST = WR_LAST_I[CW-1:0], HOLD_LAST = HOLD_LAST_I[CW-1:0];
    localparam [CW:0] RD_BLANK_W = RD_BLANK[CW:0], WR_BLANK_W = WR_BLANK[CW:0];
    localparam [CW:0] WR_RECOVER_W = WR_RECOVER[CW:0], WR_SETUP_W = WR_SETUP[CW:0];
    localparam [2:0] S_IDLE = 3'd0, S_READ = 3'd1, S_SETUP = 3'd2, S_WRITE = 3'd3, S_HOLD = 3'd4;

    (* ASYNC_REG = "TRUE" *) reg [SYNC_STAGES-1:0] rxf_sync;
    (* ASYNC_REG = "TRUE" *) reg [SYNC_STAGES-1:0] txe_sync;
    wire rxf_seen = rxf_sync[SYNC_STAGES-1];
    wire txe_seen = txe_sync[SYNC_STAGES-1];

    reg [2:0] state;
    reg [CW-1:0] count;     // clocks spent in the current strobe phase
    reg [CW-1:0] rd_since;  // clocks since RD# rose, saturating
    reg [CW-1:0] wr_since;  // clocks since WR# rose, saturating
    reg [CW-1:0] wr_fall;   // clocks since WR# fell, saturating
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
    wire rx_push = state == S_READ && count == RD_LAST;
    wire tx_done = state == S_WRITE && count == WR_LAST;

    // The flags say go, the stale window after the last strobe is over, and there is room (a byte).
    // (Counters compared as count + 1 >= clocks: the count of this clock included.)
    wire rd_flag_ok = !rxf_seen && {1'b0, rd_since} + {1'b0, ONE} >= RD_BLANK_W && rx_count != 2'd2;
    wire wr_flag_ok = !txe_seen && {1'b0, wr_since} + {1'b0, ONE} >= WR_RECOVER_W &&
                      {1'b0, wr_fall} + {1'b0, ONE} >= WR_BLANK_W;
    wire setup_met = {1'b0, count} + {1'b0, ONE} >= WR_SETUP_W;
    // With work both ways the directions alternate; a direction whose flag is high never blocks the other.
    wire read_first = rd_flag_ok && (!prefer_write || !wr_flag_ok || !tx_full);

    integer i;
    always @(posedge clk) begin
        if (rst) begin
            rxf_sync <= {SYNC_STAGES{1'b1}};
            txe_sync <= {SYNC_STAGES{1'b1}};
            state <= S_IDLE;
            count <= ZERO;
            rd_since <= SAT;
            wr_since <= SAT;
            wr_fall <= SAT;
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
            rxf_sync[0] <= rxf_n;
            txe_sync[0] <= txe_n;
            for (i = 1; i < SYNC_STAGES; i = i + 1) begin
                rxf_sync[i] <= rxf_sync[i-1];
                txe_sync[i] <= txe_sync[i-1];
            end
            if (rd_since != SAT) rd_since <= rd_since + ONE;
            if (wr_since != SAT) wr_since <= wr_since + ONE;
            if (wr_fall != SAT) wr_fall <= wr_fall + ONE;
            count <= count + ONE;

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
                    count <= ZERO;
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
                        rd_since <= ZERO;
                    end
                end
                S_SETUP: begin  // D driven with the next byte, waiting for TXE# and the set-up time
                    if (setup_met) count <= count;
                    if (read_first) begin
                        state <= S_IDLE;  // give the bus back for a read; the byte stays queued
                        d_oe_q <= 1'b0;
                    end else if (setup_met && wr_flag_ok) begin
                        state <= S_WRITE;
                        count <= ZERO;
                        wr_n_q <= 1'b0;
                        wr_fall <= ZERO;
                        prefer_write <= 1'b0;
                    end
                end
                S_WRITE: begin
                    if (tx_done) begin
                        state <= S_HOLD;
                        count <= ZERO;
                        wr_n_q <= 1'b1;
                        wr_since <= ZERO;
                    end
                end
                default: begin  // S_HOLD: D stays after WR# rose
                    if (count == HOLD_LAST) begin
                        count <= ZERO;
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
    // Clocks since RD# rose and since WR# fell (saturating): a strobe may start only on a flag sample
    // taken at least a clock after the strobe that made the chip raise the flag, i.e. SYNC_STAGES + 1
    // clocks later.
    reg [7:0] f_rd_high = 8'd0, f_since_wr_fall = 8'd0;
    always @(posedge clk) begin
        f_rd_high <= !rd_n_q ? 8'd0 : (f_rd_high == 8'hFF ? f_rd_high : f_rd_high + 8'd1);
        f_since_wr_fall <= (!wr_n_q && $past(wr_n_q)) ? 8'd0 :
                           (f_since_wr_fall == 8'hFF ? f_since_wr_fall : f_since_wr_fall + 8'd1);
    end
    always @(*) begin
        if (f_past && !rst) begin
            assert (rx_count <= 2'd2);
            if (rx_push) assert (rx_count != 2'd2);
            // The core never drives D while RD# lets the chip drive it, and never strobes both.
            assert (!(d_oe_q && !rd_n_q));
            assert (rd_n_q || wr_n_q);
            if (!wr_n_q) assert (d_oe_q && tx_full);
            // The state and the pins agree (what makes the rules provable by induction).
            assert (state <= S_HOLD);
            if (state == S_IDLE) assert (rd_n_q && wr_n_q && !d_oe_q);
            if (state == S_READ) assert (!rd_n_q && wr_n_q && !d_oe_q && count <= RD_LAST);
            if (state == S_SETUP) assert (rd_n_q && wr_n_q && d_oe_q && tx_full && d_out_q == tx_byte);
            if (state == S_WRITE) assert (!wr_n_q && d_oe_q && tx_full && count <= WR_LAST);
            if (state == S_HOLD) assert (rd_n_q && wr_n_q && d_oe_q && count <= HOLD_LAST);
            if (state == S_READ) assert (rx_count != 2'd2);
            assert ((rx_wp ^ rx_rp) == rx_count[0]);
            if (!wr_n_q) assert (d_out_q == tx_byte);
        end
    end
    always @(posedge clk) begin
        if (f_past && !$past(rst) && !rst) begin
            // A strobe falls only when the synchronised flag was low.
            if (!rd_n_q && $past(rd_n_q)) assert (!$past(rxf_seen));
            if (!rd_n_q && $past(rd_n_q)) assert ($past(f_rd_high) >= SYNC_STAGES);
            if (!wr_n_q && $past(wr_n_q)) assert ($past(f_since_wr_fall) >= SYNC_STAGES);
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
