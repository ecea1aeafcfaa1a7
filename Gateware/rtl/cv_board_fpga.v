`default_nettype none
// The example board as an FPGA top level: the bridge chip's bus through the tristate pins, the
// board's settings tied by parameters, one clock.
//
// SYNC = 0: the chip's asynchronous FIFO (cv_board_top: the interface and the board's logic on the one
//           clock `clk`, e.g. a 48 MHz oscillator). FIFO_DEPTH_LOG2 = 0 leaves the clock-crossing
//           FIFOs out, as one clock needs none; 9 keeps them (512 bytes each way, as co-simulated).
// SYNC = 1: the synchronous FIFO; `clk` is the chip's 60 MHz CLKOUT and the board's logic runs on it,
//           straight behind cv_ft245_sync (one domain, no crossing). oe_n is the chip's OE#; in the
//           asynchronous build it stays high.
// The behaviour comes from BEHAVIOUR, or, with BEHAVIOUR_PINS = 1, from the two `mode` pins (board
// switches, read while reset lasts). peek_* shows a register (peek_control = 0) or control value
// (peek_control = 1) of address peek_addr, with peek_set saying whether it was ever written; the
// values sit in block RAM, so peek_value follows peek_addr a clock later.
// Reset: a power-on reset of 16 clocks, and rst_n (active low) at any time.
module cv_board_fpga #(
    parameter integer SYNC               = 0,
    parameter integer FIFO_DEPTH_LOG2    = 0,
    parameter integer BEHAVIOUR          = 1,
    parameter integer BEHAVIOUR_PINS     = 1,
    parameter [7:0]   STREAM_SINGLE_MASK = 8'h03,
    parameter [7:0]   STREAM_BLOCK_MASK  = 8'h0C,
    parameter [7:0]   STREAM_BLOCK_LEN   = 8'd32,
    parameter [31:0]  STREAM_PERIOD      = 32'd0,
    parameter [31:0]  STREAM_COUNT       = 32'd0,
    // A message left half-way is dropped after this many clocks: 7 s at 48 MHz, longer than the
    // host driver's 6 s write time-out, so a block whose data the host is still sending is never cut.
    parameter [31:0]  MSG_TIMEOUT        = 32'd336_000_000
) (
    input  wire       clk,
    input  wire       rst_n,
    input  wire       rxf_n,
    input  wire       txe_n,
    output wire       rd_n,
    output wire       wr_n,
    output wire       oe_n,
    inout  wire [7:0] d,
    input  wire [1:0] mode,
    output wire [3:0] leds,
    input  wire [3:0] peek_addr,
    input  wire       peek_control,
    output wire [7:0] peek_value,
    output wire       peek_set
);
    reg [4:0] por = 5'd0;  // counts to 16 after configuration
    reg       rst = 1'b1;
    reg [1:0] behaviour = 2'd0;
    always @(posedge clk) begin
        if (!por[4]) por <= por + 5'd1;
        rst <= !por[4] || !rst_n;
        if (rst) behaviour <= BEHAVIOUR_PINS != 0 ? mode : BEHAVIOUR[1:0];
    end

    wire [7:0] d_in, d_out;
    wire       d_oe;
    cv_ft245_pins pins (.d(d), .d_out(d_out), .d_oe(d_oe), .d_in(d_in));

    wire [7:0] reg_value, ctrl_value;
    wire       reg_set, ctrl_set;
    assign peek_value = peek_control ? ctrl_value : reg_value;
    assign peek_set   = peek_control ? ctrl_set : reg_set;

    // Counts only the status block reports; the others are for simulation.
    /* verilator lint_off PINCONNECTEMPTY */
    generate
        if (SYNC != 0) begin : sync_fifo
            wire [7:0] rx_data, tx_data;
            wire       rx_valid, rx_ready, tx_valid, tx_ready;
            cv_ft245_sync chip (
                .clk(clk), .rst(rst), .rxf_n(rxf_n), .txe_n(txe_n), .rd_n(rd_n), .wr_n(wr_n), .oe_n(oe_n),
                .d_in(d_in), .d_out(d_out), .d_oe(d_oe),
                .rx_data(rx_data), .rx_valid(rx_valid), .rx_ready(rx_ready),
                .tx_data(tx_data), .tx_valid(tx_valid), .tx_ready(tx_ready)
            );
            cv_board_core #(.PEEK_MEMORY(1)) core (
                .clk(clk), .rst(rst),
                .in_data(rx_data), .in_valid(rx_valid), .in_ready(rx_ready),
                .out_data(tx_data), .out_valid(tx_valid), .out_ready(tx_ready),
                .behaviour(behaviour), .stream_single_mask(STREAM_SINGLE_MASK),
                .stream_block_mask(STREAM_BLOCK_MASK), .stream_block_len(STREAM_BLOCK_LEN),
                .stream_period(STREAM_PERIOD), .stream_count(STREAM_COUNT), .msg_timeout(MSG_TIMEOUT),
                .leds(leds), .peek_addr(peek_addr),
                .peek_register(reg_value), .peek_register_set(reg_set),
                .peek_control(ctrl_value), .peek_control_set(ctrl_set),
                .count_triggers(), .count_single_bytes(), .count_blocks(), .count_control_sequences(),
                .count_control_discarded(), .count_discarded_bytes(), .stream_sent()
            );
        end else begin : async_fifo
            assign oe_n = 1'b1;
            cv_board_top #(.FIFO_DEPTH_LOG2(FIFO_DEPTH_LOG2), .PEEK_MEMORY(1)) board (
                .clk(clk), .rst(rst), .user_clk(clk), .user_rst(rst),
                .rxf_n(rxf_n), .txe_n(txe_n), .rd_n(rd_n), .wr_n(wr_n), .oe_n(),
                .d_in(d_in), .d_out(d_out), .d_oe(d_oe),
                .behaviour(behaviour), .stream_single_mask(STREAM_SINGLE_MASK),
                .stream_block_mask(STREAM_BLOCK_MASK), .stream_block_len(STREAM_BLOCK_LEN),
                .stream_period(STREAM_PERIOD), .stream_count(STREAM_COUNT), .msg_timeout(MSG_TIMEOUT),
                .leds(leds), .peek_addr(peek_addr),
                .peek_register(reg_value), .peek_register_set(reg_set),
                .peek_control(ctrl_value), .peek_control_set(ctrl_set),
                .count_triggers(), .count_single_bytes(), .count_blocks(), .count_control_sequences(),
                .count_control_discarded(), .count_discarded_bytes(), .stream_sent()
            );
        end
    endgenerate
    /* verilator lint_on PINCONNECTEMPTY */
endmodule
`default_nettype wire
