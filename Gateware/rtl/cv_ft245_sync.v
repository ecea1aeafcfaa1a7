`default_nettype none
// The bridge chip's synchronous 245 FIFO (60 MHz CLKOUT; FT232H, or interface A of an FT2232H in its
// single-channel mode), as two valid/ready byte streams.
//
// Every output is a register. The chip and this core sample at the same CLKOUT edge, so a byte moves
// at an edge exactly when both sides saw the strobe low before it and the chip's flag low before it.
// The core decides at that very edge whether the byte moved, from the flag as the pin shows it: the
// well-known fault of acting on a copy of RXF#/TXE# registered a clock late (which loses or doubles a
// byte when the flag rises in the middle of a burst) cannot happen here. A byte the chip did not take
// stays on the bus in d_out and is offered again; a byte the chip gave while the user's side was busy
// lands in a four-byte holding buffer that always has room for every byte in flight.
//
// Bus turnaround: OE# falls only after a clock in which the core did not drive D, RD# falls only after
// OE# was low for a clock, and the core drives D only after a clock in which OE# was high. RD# (WR#)
// is asserted only after an edge at which RXF# (TXE#) was low.
module cv_ft245_sync (
    input  wire       clk,
    input  wire       rst,
    input  wire       rxf_n,
    input  wire       txe_n,
    output wire       rd_n,
    output wire       wr_n,
    output wire       oe_n,
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
    // Clocks one direction keeps the bus while the other one waits.
    localparam integer BURST = 64;
    localparam [1:0] S_IDLE = 2'd0, S_READ = 2'd1, S_WRITE = 2'd2;

    reg [1:0] state;
    reg [6:0] burst;
    reg last_read;  // the direction that had the bus last, so the other one goes next
    reg rd_n_q, wr_n_q, oe_n_q, d_oe_q;
    reg [7:0] d_out_q;

    // Receive holding buffer: four bytes, so a byte can land at every edge the core asked for one.
    reg [7:0] rx_mem[0:3];
    reg [1:0] rx_wp, rx_rp;
    reg [2:0] rx_count;

    // Transmit side: the byte on the bus (held until the chip takes it) and a two-byte queue behind it.
    reg       bus_full;
    reg [7:0] tx_mem[0:1];
    reg       tx_wp, tx_rp;
    reg [1:0] tx_count;

    // What moved at this edge, from the pins as the chip sees them.
    wire rx_take = !rd_n_q && !oe_n_q && !rxf_n;
    wire tx_took = !wr_n_q && !txe_n;
    wire rx_pop = rx_valid && rx_ready;
    wire tx_push = tx_valid && tx_ready;

    // The byte that will sit on the bus after this edge.
    wire bus_free_next = !bus_full || tx_took;
    wire tx_load = bus_free_next && tx_count != 2'd0;
    wire bus_full_next = (bus_full && !tx_took) || tx_load;

    // A read strobe for the next edge needs room for this edge's byte and the next one.
    wire rx_room = rx_count <= 3'd2;
    wire want_rx = !rxf_n && rx_room;
    wire want_tx = (bus_full || tx_count != 0) && !txe_n;
    wire burst_done = burst == BURST[6:0];

    always @(posedge clk) begin
        if (rst) begin
            state <= S_IDLE;
            burst <= 7'd0;
            last_read <= 1'b0;
            rd_n_q <= 1'b1;
            wr_n_q <= 1'b1;
            oe_n_q <= 1'b1;
            d_oe_q <= 1'b0;
            d_out_q <= 8'd0;
            rx_wp <= 2'd0;
            rx_rp <= 2'd0;
            rx_count <= 3'd0;
            bus_full <= 1'b0;
            tx_wp <= 1'b0;
            tx_rp <= 1'b0;
            tx_count <= 2'd0;
        end else begin
            // Receive buffer.
            if (rx_take) begin
                rx_mem[rx_wp] <= d_in;
                rx_wp <= rx_wp + 2'd1;
            end
            if (rx_pop)
                rx_rp <= rx_rp + 2'd1;
            rx_count <= rx_count + {2'd0, rx_take} - {2'd0, rx_pop};

            // Transmit queue and the byte on the bus.
            if (tx_push) begin
                tx_mem[tx_wp] <= tx_data;
                tx_wp <= ~tx_wp;
            end
            if (tx_load) begin
                d_out_q <= tx_mem[tx_rp];
                tx_rp <= ~tx_rp;
            end
            tx_count <= tx_count + {1'b0, tx_push} - {1'b0, tx_load};
            bus_full <= bus_full_next;

            // Direction and strobes.
            burst <= burst_done ? burst : burst + 7'd1;
            rd_n_q <= 1'b1;
            wr_n_q <= 1'b1;
            case (state)
                S_IDLE: begin
                    // Here OE# is high and D is not driven, so either direction may start.
                    burst <= 7'd0;
                    if (want_rx && (!want_tx || !last_read)) begin
                        state <= S_READ;
                        last_read <= 1'b1;
                        oe_n_q <= 1'b0;
                    end else if (want_tx) begin
                        state <= S_WRITE;
                        last_read <= 1'b0;
                        d_oe_q <= 1'b1;
                        wr_n_q <= 1'b0;  // want_tx: a byte is on the bus after this edge and TXE# is low
                    end
                end
                S_READ: begin
                    if (want_tx && (burst_done || !want_rx)) begin
                        state <= S_IDLE;
                        oe_n_q <= 1'b1;
                    end else begin
                        rd_n_q <= !want_rx;
                    end
                end
                default: begin  // S_WRITE
                    if (!rxf_n && rx_room && (burst_done || !(bus_full_next && !txe_n))) begin
                        state <= S_IDLE;
                        d_oe_q <= 1'b0;
                    end else begin
                        wr_n_q <= !(bus_full_next && !txe_n);
                    end
                end
            endcase
        end
    end

    assign rd_n = rd_n_q;
    assign wr_n = wr_n_q;
    assign oe_n = oe_n_q;
    assign d_out = d_out_q;
    assign d_oe = d_oe_q;
    assign rx_data = rx_mem[rx_rp];
    assign rx_valid = rx_count != 3'd0;
    assign tx_ready = tx_count != 2'd2;

`ifdef FORMAL
    // The holding buffers never overflow or underflow; the strobes keep the bus rules.
    reg f_past = 1'b0;
    initial assume (rst);
    always @(posedge clk) f_past <= 1'b1;
    always @(*) begin
        if (f_past && !rst) begin
            assert (rx_count <= 3'd4);
            assert (tx_count <= 2'd2);
            if (rx_take) assert (rx_count != 3'd4);
            if (tx_load) assert (tx_count != 2'd0);
            if (tx_took) assert (bus_full);
            // The core never drives D while the chip may (OE# low), and strobes WR# only with D driven.
            assert (!(d_oe_q && !oe_n_q));
            if (!wr_n_q) assert (d_oe_q);
            if (!rd_n_q) assert (!oe_n_q);
        end
    end
    always @(posedge clk) begin
        if (f_past && !$past(rst) && !rst) begin
            // RD# only after OE# was low for a clock; D driven only after OE# was high for a clock;
            // OE# falls only after a clock without D driven.
            if (!rd_n_q) assert (!$past(oe_n_q));
            if (d_oe_q) assert ($past(oe_n_q));
            if (!oe_n_q) assert (!$past(d_oe_q));
            // WR# (RD#) only after an edge at which TXE# (RXF#) was low.
            if (!wr_n_q) assert (!$past(txe_n));
            if (!rd_n_q) assert (!$past(rxf_n));
        end
    end
`endif
endmodule
`default_nettype wire
