`default_nettype none
// The host's byte stream, cut into messages for the board logic.
//
// Every host message is a header with bit 7 set and one more byte; a block preamble is followed by
// as many data bytes as its second byte says. One record leaves for each message (and one for each
// block data byte), in the order the host sent them:
//
//   rec_kind  meaning                                rec_hdr        rec_addr           rec_data
//   0 TRIG    trigger                                0x81           0                  trigger value
//   1 SINGLE  single byte, to be stored              0x90|a         a                  the byte
//   2 BLOCK   block preamble                         0xA0|a         a                  length (0: no data)
//   3 DATA    one block data byte, rec_last on the   the preamble   a                  the byte
//             block's final byte
//   4 CTRL    a control message (header 0x82|a<<3,   the header     a (bits 6..3)      the byte
//             also 0x92/0x9A inside a sequence)
//   5 DONE    a control sequence completed; follows  the header     a                  the value
//             the CTRL record of its fifth message
//   6 ABORT   the block in progress was dropped      the preamble   a                  0
//             (msg_timeout); no DATA follows
//
// Control sequences are recognised per header as the board model does: the five messages
// 5A C3 7E value 00 with one control header. A sequence broken off is discarded and counted when
// the next message does not continue it; that message is then taken as what it is. 0x92 and 0x9A
// are single bytes outside a sequence; 0xA2 and 0xAA are always block preambles.
//
// Bad input never stops the parser: a byte without bit 7 where a header is due is dropped and
// counted; a header with bit 7 that is no known message is consumed with its next byte and both are
// counted; a message left half-received for msg_timeout clock cycles with no byte arriving is
// dropped (its bytes counted, a sequence in progress discarded). Only clocks with no host byte on
// offer count towards the time-out: a parser held back by rec_ready is not waiting for the host.
// The two counts trail the input by two clocks.
module cv_host_parser (
    input  wire        clk,
    input  wire        rst,
    input  wire [ 7:0] in_data,
    input  wire        in_valid,
    output wire        in_ready,
    output reg  [ 2:0] rec_kind,
    output reg  [ 7:0] rec_hdr,
    output wire [ 3:0] rec_addr,
    output reg  [ 7:0] rec_data,
    output reg         rec_last,
    output reg         rec_valid,
    input  wire        rec_ready,
    input  wire [31:0] msg_timeout,        // 0 = never
    output reg  [31:0] discarded_bytes,
    output reg  [31:0] control_discarded
);
    localparam [2:0] K_TRIG = 3'd0, K_SINGLE = 3'd1, K_BLOCK = 3'd2, K_DATA = 3'd3;
    localparam [2:0] K_CTRL = 3'd4, K_DONE = 3'd5, K_ABORT = 3'd6;
    localparam [1:0] S_HDR = 2'd0, S_VAL = 2'd1, S_DATA = 2'd2;

    reg [1:0] state;
    reg [7:0] hdr;            // header of the message in progress
    reg [7:0] block_len;      // announced length of the block in progress
    reg [7:0] block_left;     // its data bytes still to come
    reg       done_pending;   // a DONE record follows the CTRL record in rec_*
    reg [7:0] seq_hdr;        // the control sequence in progress: its header,
    reg [2:0] seq_step;       // its messages taken so far (0: none),
    reg [7:0] seq_value;      // and its value once the fourth message came
    reg [31:0] idle_cycles;   // cycles the message in progress waited for the host so far
    reg        idle_expired;  // and it has waited msg_timeout cycles

    wire out_free  = !rec_valid || rec_ready;
    wire timed_out = state != S_HDR && msg_timeout != 32'd0 && idle_expired;
    // A header is taken whatever waits in rec_* (only the byte that completes a message needs room),
    // except behind a DONE record: the counts stand still while the board may be reporting them.
    assign in_ready = (out_free || (state == S_HDR && rec_kind != K_DONE)) && !done_pending && !timed_out;
    assign rec_addr = (rec_kind == K_CTRL || rec_kind == K_DONE) ? rec_hdr[6:3] : rec_hdr[3:0];
    wire take = in_valid && in_ready;

    // What the message (hdr, in_data) is.
    wire is_trig   = hdr == 8'h81;
    wire is_single = hdr[7:4] == 4'h9;
    wire is_block  = hdr[7:4] == 4'hA;
    wire is_ctrl_h = (hdr & 8'h87) == 8'h82;  // a control header by its pattern
    wire ctrl_ok   = is_ctrl_h && !is_block;  // one that can carry a sequence

    reg [7:0] seq_byte;
    always @(*) begin
        case (seq_step)
            3'd0: seq_byte = 8'h5A;
            3'd1: seq_byte = 8'hC3;
            3'd2: seq_byte = 8'h7E;
            default: seq_byte = 8'h00;  // step 3 takes any value; step 4 expects 0x00
        endcase
    end
    wire seq_continues = seq_step != 3'd0 && hdr == seq_hdr && (seq_step == 3'd3 || in_data == seq_byte);
    wire seq_starts    = !seq_continues && ctrl_ok && in_data == 8'h5A;
    wire in_sequence   = seq_continues || seq_starts;
    wire seq_breaks    = seq_step != 3'd0 && !seq_continues;
    wire seq_completes = seq_continues && seq_step == 3'd4;
    wire known         = is_trig || is_single || is_block || is_ctrl_h;

    // What this clock adds to the discard counts (one adder each, a clock later: the counts trail the
    // input by a clock, which keeps the adders off the paths through in_ready).
    wire emit_done = done_pending && out_free;
    wire drop      = !emit_done && timed_out && out_free;
    reg [8:0] discard_add, discard_add_q;
    reg       control_discard, control_discard_q;
    always @(*) begin
        discard_add = 9'd0;
        control_discard = 1'b0;
        if (drop) begin
            if (state == S_VAL) begin
                discard_add = 9'd1;  // a header alone
                control_discard = seq_step != 3'd0;
            end else begin
                discard_add = 9'd2 + {1'b0, block_len - block_left};  // a preamble and its data so far
            end
        end else if (!emit_done && take) begin
            if (state == S_HDR) discard_add = {8'd0, !in_data[7]};
            else if (state == S_VAL) begin
                discard_add = known ? 9'd0 : 9'd2;
                control_discard = seq_breaks;
            end
        end
    end

    always @(posedge clk) begin
        if (rst) begin
            state <= S_HDR;
            hdr <= 8'h00;
            block_len <= 8'h00;
            block_left <= 8'h00;
            done_pending <= 1'b0;
            seq_hdr <= 8'h00;
            seq_step <= 3'd0;
            seq_value <= 8'h00;
            idle_cycles <= 32'd0;
            idle_expired <= 1'b0;
            rec_valid <= 1'b0;
            rec_kind <= K_TRIG;
            rec_hdr <= 8'h00;
            rec_data <= 8'h00;
            rec_last <= 1'b0;
            discarded_bytes <= 32'd0;
            control_discarded <= 32'd0;
            discard_add_q <= 9'd0;
            control_discard_q <= 1'b0;
        end else begin
            if (rec_valid && rec_ready) rec_valid <= 1'b0;

            discard_add_q <= discard_add;
            control_discard_q <= control_discard;
            discarded_bytes <= discarded_bytes + {23'd0, discard_add_q};
            control_discarded <= control_discarded + {31'd0, control_discard_q};
            if (state == S_HDR || take) begin
                idle_cycles <= 32'd0;
                idle_expired <= 1'b0;
            end else if (!in_valid && !idle_expired) begin
                idle_cycles <= idle_cycles + 32'd1;
                idle_expired <= idle_cycles + 32'd1 == msg_timeout;
            end

            if (emit_done) begin
                rec_kind <= K_DONE;
                rec_data <= seq_value;
                rec_last <= 1'b0;
                rec_valid <= 1'b1;
                done_pending <= 1'b0;
            end else if (drop) begin
                // The host stopped half-way through a message: drop what came of it.
                state <= S_HDR;
                if (state == S_VAL) begin
                    seq_step <= 3'd0;
                end else begin
                    rec_kind <= K_ABORT;
                    rec_data <= 8'h00;
                    rec_last <= 1'b0;
                    rec_valid <= 1'b1;
                end
            end else if (take) begin
                case (state)
                    S_HDR: begin
                        if (in_data[7]) begin
                            hdr <= in_data;
                            state <= S_VAL;
                        end
                    end
                    S_VAL: begin
                        state <= S_HDR;
                        if (seq_completes) seq_step <= 3'd0;
                        else if (seq_continues) seq_step <= seq_step + 3'd1;
                        else if (seq_starts) seq_step <= 3'd1;
                        else seq_step <= 3'd0;
                        if (seq_starts) seq_hdr <= hdr;
                        if (seq_continues && seq_step == 3'd3) seq_value <= in_data;
                        done_pending <= seq_completes;

                        rec_hdr <= hdr;
                        rec_data <= in_data;
                        rec_last <= 1'b0;
                        rec_valid <= known;
                        if (is_trig) rec_kind <= K_TRIG;
                        else if (is_single) rec_kind <= in_sequence ? K_CTRL : K_SINGLE;
                        else if (is_block) rec_kind <= K_BLOCK;
                        else rec_kind <= K_CTRL;
                        if (is_block && in_data != 8'h00) begin
                            state <= S_DATA;
                            block_len <= in_data;
                            block_left <= in_data;
                        end
                    end
                    default: begin  // S_DATA
                        rec_kind <= K_DATA;
                        rec_data <= in_data;
                        rec_last <= block_left == 8'd1;
                        rec_valid <= 1'b1;
                        block_left <= block_left - 8'd1;
                        if (block_left == 8'd1) state <= S_HDR;
                    end
                endcase
            end
        end
    end
endmodule
`default_nettype wire
