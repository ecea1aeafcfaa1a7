`default_nettype none
// The example board: the bridge chip's asynchronous FIFO on `clk`, a clock-crossing FIFO each way,
// and the board's logic (cv_board_core) on `user_clk`. The bus is split into d_in/d_out/d_oe; the
// tristate belongs to the FPGA top (cv_board_fpga). The settings are sampled in user_clk's domain:
// change them only while user_rst is high. Reset both domains together. FIFO_DEPTH_LOG2 = 0 leaves
// the crossing out, for a board whose logic runs on the interface's clock: user_clk must then be clk
// (and user_rst rst).
//
// SYNC = 1: the chip's synchronous FIFO instead (cv_ft245_sync). `clk` is the chip's 60 MHz CLKOUT
// and the board's logic runs on it, straight behind the interface: no crossing, user_clk and
// user_rst unused. oe_n is the chip's OE#; with SYNC = 0 it stays high.
module cv_board_top #(
    parameter integer FIFO_DEPTH_LOG2 = 9, // the clock-crossing FIFOs each way; 0: none (one clock)
    parameter integer PEEK_MEMORY     = 0, // 1: peek_* one user_clk after peek_addr (block RAM)
    parameter integer SYNC            = 0  // 1: the synchronous FIFO, everything on clk
) (
    input  wire        clk,
    input  wire        rst,
    input  wire        user_clk,
    input  wire        user_rst,
    input  wire        rxf_n,
    input  wire        txe_n,
    output wire        rd_n,
    output wire        wr_n,
    output wire        oe_n,
    input  wire [ 7:0] d_in,
    output wire [ 7:0] d_out,
    output wire        d_oe,
    input  wire [ 1:0] behaviour,           // 0 silent, 1 echo, 2 registers, 3 stream
    input  wire [ 7:0] stream_single_mask,
    input  wire [ 7:0] stream_block_mask,
    input  wire [ 7:0] stream_block_len,
    input  wire [31:0] stream_period,
    input  wire [31:0] stream_count,
    input  wire [31:0] msg_timeout,
    output wire [ 3:0] leds,
    input  wire [ 3:0] peek_addr,
    output wire [ 7:0] peek_register,
    output wire        peek_register_set,
    output wire [ 7:0] peek_control,
    output wire        peek_control_set,
    output wire [31:0] count_triggers,
    output wire [31:0] count_single_bytes,
    output wire [31:0] count_blocks,
    output wire [31:0] count_control_sequences,
    output wire [31:0] count_control_discarded,
    output wire [31:0] count_discarded_bytes,
    output wire [31:0] stream_sent
);
    // chip side (clk)
    wire [7:0] rx_data, tx_data;
    wire       rx_valid, rx_ready, tx_valid, tx_ready;
    // board side (user_clk)
    wire [7:0] host_data, board_data;
    wire       host_valid, host_ready, board_valid, board_ready;

    generate
        if (SYNC != 0) begin : sync_chip
            cv_ft245_sync chip (
                .clk(clk), .rst(rst),
                .rxf_n(rxf_n), .txe_n(txe_n), .rd_n(rd_n), .wr_n(wr_n), .oe_n(oe_n),
                .d_in(d_in), .d_out(d_out), .d_oe(d_oe),
                .rx_data(rx_data), .rx_valid(rx_valid), .rx_ready(rx_ready),
                .tx_data(tx_data), .tx_valid(tx_valid), .tx_ready(tx_ready)
            );
        end else begin : async_chip
            assign oe_n = 1'b1;
            cv_ft245_async chip (
                .clk(clk), .rst(rst),
                .rxf_n(rxf_n), .txe_n(txe_n), .rd_n(rd_n), .wr_n(wr_n),
                .d_in(d_in), .d_out(d_out), .d_oe(d_oe),
                .rx_data(rx_data), .rx_valid(rx_valid), .rx_ready(rx_ready),
                .tx_data(tx_data), .tx_valid(tx_valid), .tx_ready(tx_ready)
            );
        end
    endgenerate

    // The board's logic: on the interface's clock when synchronous, else on its own.
    wire core_clk = SYNC != 0 ? clk : user_clk;
    wire core_rst = SYNC != 0 ? rst : user_rst;

    generate
        if (FIFO_DEPTH_LOG2 > 0 && SYNC == 0) begin : crossing
            cv_async_fifo #(.WIDTH(8), .DEPTH_LOG2(FIFO_DEPTH_LOG2)) from_host (
                .wr_clk(clk), .wr_rst(rst), .wr_data(rx_data), .wr_valid(rx_valid), .wr_ready(rx_ready),
                .rd_clk(user_clk), .rd_rst(user_rst),
                .rd_data(host_data), .rd_valid(host_valid), .rd_ready(host_ready)
            );
            cv_async_fifo #(.WIDTH(8), .DEPTH_LOG2(FIFO_DEPTH_LOG2)) to_host (
                .wr_clk(user_clk), .wr_rst(user_rst),
                .wr_data(board_data), .wr_valid(board_valid), .wr_ready(board_ready),
                .rd_clk(clk), .rd_rst(rst), .rd_data(tx_data), .rd_valid(tx_valid), .rd_ready(tx_ready)
            );
        end else begin : one_clock
            assign host_data = rx_data;
            assign host_valid = rx_valid;
            assign rx_ready = host_ready;
            assign tx_data = board_data;
            assign tx_valid = board_valid;
            assign board_ready = tx_ready;
        end
    endgenerate

    cv_board_core #(.PEEK_MEMORY(PEEK_MEMORY)) core (
        .clk(core_clk), .rst(core_rst),
        .in_data(host_data), .in_valid(host_valid), .in_ready(host_ready),
        .out_data(board_data), .out_valid(board_valid), .out_ready(board_ready),
        .behaviour(behaviour), .stream_single_mask(stream_single_mask), .stream_block_mask(stream_block_mask),
        .stream_block_len(stream_block_len), .stream_period(stream_period), .stream_count(stream_count),
        .msg_timeout(msg_timeout), .leds(leds), .peek_addr(peek_addr),
        .peek_register(peek_register), .peek_register_set(peek_register_set),
        .peek_control(peek_control), .peek_control_set(peek_control_set),
        .count_triggers(count_triggers), .count_single_bytes(count_single_bytes), .count_blocks(count_blocks),
        .count_control_sequences(count_control_sequences), .count_control_discarded(count_control_discarded),
        .count_discarded_bytes(count_discarded_bytes), .stream_sent(stream_sent)
    );
endmodule
`default_nettype wire
