`default_nettype none
// The numbered stream: message n goes to the n-th slot of a turn over the chosen channels, single
// byte channels ascending first (0xD0|c, n & 0xFF), then block channels ascending (0xE0|c, length,
// then the block's bytes: n little-endian in the first four, then bytes that depend on n and the
// byte's place, so that neighbouring blocks differ everywhere). One request at a time, in the
// encoder's request format; the data of the block in flight on dat_*. `period` spaces the starts of
// two messages by at least that many clock cycles (0: as fast as the encoder takes them); a link
// slower than that holds the stream back, nothing is skipped. The message number is 32 bits wide,
// so an endless stream wraps after 2^32 messages.
module cv_stream_source (
    input  wire        clk,
    input  wire        rst,
    input  wire        enable,
    input  wire [ 7:0] single_mask,
    input  wire [ 7:0] block_mask,
    input  wire [ 7:0] block_len,    // 4 to 255
    input  wire [31:0] period,
    input  wire [31:0] count,        // 0: endless
    output wire        req_valid,
    input  wire        req_ready,
    output wire [ 2:0] req_channel,
    output wire [ 1:0] req_kind,     // 1 single byte, 2 block
    output wire [ 7:0] req_byte,
    output wire [ 7:0] dat_data,
    output wire        dat_valid,
    input  wire        dat_ready,
    output reg  [31:0] sent
);
    wire [15:0] slots = {block_mask, single_mask};

    reg [3:0] pos;  // the slot of the last message sent (15 before the first)
    reg [31:0] wait_cycles;

    // The next chosen slot after pos, cyclically: the lowest chosen slot above pos, else the lowest.
    reg [15:0] above;  // slots above pos
    reg [ 3:0] lowest_above, lowest;
    reg        any_above;
    integer    i;
    always @(*) begin
        for (i = 0; i < 16; i = i + 1) above[i] = slots[i] && i > pos;
        lowest_above = 4'd0;
        lowest = 4'd0;
        for (i = 15; i >= 0; i = i - 1) begin
            if (above[i]) lowest_above = i[3:0];
            if (slots[i]) lowest = i[3:0];
        end
        any_above = above != 16'd0;
    end
    wire [3:0] slot = any_above ? lowest_above : lowest;

    // A block counts as sent once its last byte has gone, so the next request waits for that (the
    // encoder takes it no sooner anyway) and `sent` numbers the block in flight.
    assign req_valid   = enable && slots != 16'd0 && (count == 32'd0 || sent != count) && wait_cycles == 32'd0 &&
                         !in_block;
    assign req_channel = slot[2:0];
    assign req_kind    = slot[3] ? 2'd2 : 2'd1;
    assign req_byte    = slot[3] ? block_len : sent[7:0];

    // The data of the block in flight (message number `sent`).
    reg [ 7:0] index;
    reg [ 7:0] mixed;  // the byte for index >= 4
    reg        in_block;
    assign dat_valid = in_block;
    assign dat_data  = index == 8'd0 ? sent[7:0] : index == 8'd1 ? sent[15:8] :
                       index == 8'd2 ? sent[23:16] : index == 8'd3 ? sent[31:24] : mixed;

    // The part of a block byte that depends on the message number, (n >> 8) + n * 0x3D (mod 256),
    // kept up to date as n counts up.
    reg  [7:0] number_mix;
    wire [7:0] base = number_mix + block_len * 8'd3 + 8'h5A;

    always @(posedge clk) begin
        if (rst) begin
            pos <= 4'd15;
            wait_cycles <= 32'd0;
            sent <= 32'd0;
            index <= 8'd0;
            mixed <= 8'd0;
            in_block <= 1'b0;
            number_mix <= 8'd0;
        end else begin
            if (wait_cycles != 32'd0) wait_cycles <= wait_cycles - 32'd1;
            if (req_valid && req_ready) begin
                pos <= slot;
                wait_cycles <= period == 32'd0 ? 32'd0 : period - 32'd1;
                if (slot[3]) begin
                    in_block <= 1'b1;
                    index <= 8'd0;
                    mixed <= base + 8'd4 * 8'h1F;
                end else begin
                    sent <= sent + 32'd1;
                    number_mix <= number_mix + 8'h3D + {7'd0, sent[7:0] == 8'hFF};
                end
            end else if (dat_valid && dat_ready) begin
                index <= index + 8'd1;
                if (index >= 8'd4) mixed <= mixed + 8'h1F;
                if (index + 8'd1 == block_len) begin
                    in_block <= 1'b0;
                    sent <= sent + 32'd1;
                    number_mix <= number_mix + 8'h3D + {7'd0, sent[7:0] == 8'hFF};
                end
            end
        end
    end
endmodule
`default_nettype wire
