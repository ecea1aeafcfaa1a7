`default_nettype none
// The example board's logic in one clock domain: the host's bytes in, the board's bytes out, both
// valid/ready streams. It keeps sixteen one-byte registers, four LEDs, a control value per address
// and counts of what it took in, and answers as its behaviour says:
//   0 silent     nothing;
//   1 echo       every message, in the order received: a single byte on channel a & 7, a block as a
//                block on channel a & 7 with the same bytes (sent once it is complete), a trigger as
//                0xC8 value, each control message as a single byte (0xD0 | channel, byte);
//   2 registers  each complete control sequence as the single byte (0xD0 | (a & 7), value);
//   3 stream     the numbered stream (cv_stream_source) and the acknowledgements of registers.
// A complete control sequence to address 15 makes every behaviour but silent also send the status
// block: 8 bytes on channel 7, the discarded byte count then the discarded control sequence count,
// each 32 bits little-endian.
module cv_board_core #(
    // 0: peek_* shows the value at peek_addr at once (the values sit in flip-flops); 1: one clock after
    // peek_addr is set (the values sit in block RAM, for small parts)
    parameter integer PEEK_MEMORY = 0
) (
    input  wire        clk,
    input  wire        rst,
    input  wire [ 7:0] in_data,
    input  wire        in_valid,
    output wire        in_ready,
    output wire [ 7:0] out_data,
    output wire        out_valid,
    input  wire        out_ready,
    input  wire [ 1:0] behaviour,
    input  wire [ 7:0] stream_single_mask,
    input  wire [ 7:0] stream_block_mask,
    input  wire [ 7:0] stream_block_len,
    input  wire [31:0] stream_period,
    input  wire [31:0] stream_count,
    input  wire [31:0] msg_timeout,
    output reg  [ 3:0] leds,
    input  wire [ 3:0] peek_addr,
    output wire [ 7:0] peek_register,
    output wire        peek_register_set,
    output wire [ 7:0] peek_control,
    output wire        peek_control_set,
    output reg  [31:0] count_triggers,
    output reg  [31:0] count_single_bytes,
    output reg  [31:0] count_blocks,
    output reg  [31:0] count_control_sequences,
    output wire [31:0] count_control_discarded,
    output wire [31:0] count_discarded_bytes,
    output wire [31:0] stream_sent
);
    localparam [2:0] K_TRIG = 3'd0, K_SINGLE = 3'd1, K_BLOCK = 3'd2, K_DATA = 3'd3;
    localparam [2:0] K_CTRL = 3'd4, K_DONE = 3'd5;  // 6: ABORT, a block dropped half-way
    localparam [1:0] A_TRIG = 2'd0, A_SINGLE = 2'd1, A_BLOCK = 2'd2;

    // ---- the host's messages
    wire [2:0] rec_kind;
    /* verilator lint_off UNUSEDSIGNAL */
    wire [7:0] rec_hdr;  // bit 3 is the address's, read through rec_addr
    /* verilator lint_on UNUSEDSIGNAL */
    wire [7:0] rec_data;
    wire [3:0] rec_addr;
    wire       rec_last, rec_valid;
    reg        rec_ready;

    cv_host_parser parser (
        .clk(clk), .rst(rst),
        .in_data(in_data), .in_valid(in_valid), .in_ready(in_ready),
        .rec_kind(rec_kind), .rec_hdr(rec_hdr), .rec_addr(rec_addr), .rec_data(rec_data),
        .rec_last(rec_last), .rec_valid(rec_valid), .rec_ready(rec_ready),
        .msg_timeout(msg_timeout),
        .discarded_bytes(count_discarded_bytes), .control_discarded(count_control_discarded)
    );

    // ---- the board's state
    reg [7:0] registers[0:15];
    reg [15:0] register_set;
    reg [7:0] controls[0:15];
    reg [15:0] control_set;
    wire write_register, write_control;  // a single byte or a complete control sequence is taken
    always @(posedge clk) begin
        if (write_register) registers[rec_addr] <= rec_data;
        if (write_control) controls[rec_addr] <= rec_data;
    end
    generate
        if (PEEK_MEMORY != 0) begin : peek_memory
            reg [7:0] register_q, control_q;
            always @(posedge clk) begin
                register_q <= registers[peek_addr];
                control_q <= controls[peek_addr];
            end
            assign peek_register = register_q;
            assign peek_control  = control_q;
        end else begin : peek_now
            assign peek_register = registers[peek_addr];
            assign peek_control  = controls[peek_addr];
        end
    endgenerate
    assign peek_register_set = register_set[peek_addr];
    assign peek_control_set  = control_set[peek_addr];

    // A block to echo is held here until its last byte came.
    reg [7:0] block_mem[0:255];
    reg [7:0] block_len;     // the announced length of the block being received
    reg [7:0] block_fill;    // its bytes stored so far
    reg [7:0] read_pos;      // the next byte of an answer block to send
    reg [7:0] block_q;       // block_mem[read_pos], one clock behind its address

    // ---- what the head record asks for
    wire echo = behaviour == 2'd1;
    wire acks = behaviour[1];           // registers and stream
    wire talks = behaviour != 2'd0;
    wire [2:0] ctrl_channel = rec_hdr[7:4] == 4'h9 ? rec_hdr[2:0] : rec_addr[2:0];

    reg       need_first;               // an answer to this record, and its request
    reg [2:0] first_channel;
    reg [1:0] first_kind;
    reg [7:0] first_byte;
    always @(*) begin
        need_first = 1'b0;
        first_channel = rec_addr[2:0];
        first_kind = A_SINGLE;
        first_byte = rec_data;
        case (rec_kind)
            K_TRIG: begin
                need_first = echo;
                first_channel = 3'd0;
                first_kind = A_TRIG;
            end
            K_SINGLE: need_first = echo;
            K_CTRL: begin
                need_first = echo;
                first_channel = ctrl_channel;
            end
            K_BLOCK: begin
                need_first = echo && rec_data == 8'd0;
                first_kind = A_BLOCK;
            end
            K_DATA: begin
                need_first = echo && rec_last;
                first_kind = A_BLOCK;
                first_byte = block_len;
            end
            K_DONE: need_first = acks;
            default: need_first = 1'b0;
        endcase
    end
    wire need_status = rec_kind == K_DONE && rec_addr == 4'd15 && talks;

    // ---- the answers, one request at a time, in the order of the records
    // N_EVAL offers the record's first answer (or the status block when that is all) as soon as the
    // record is there; N_STATUS offers the status block after a first answer.
    localparam [2:0] N_EVAL = 3'd0, N_FIRST_DATA = 3'd2, N_STATUS = 3'd3;
    localparam [2:0] N_STATUS_DATA = 3'd4, N_ACCEPT = 3'd5;
    reg  [2:0] answer_state;
    reg  [7:0] data_left;
    wire       status_now = answer_state == N_STATUS || !need_first;
    wire       ans_valid = answer_state == N_STATUS || (answer_state == N_EVAL && rec_valid && (need_first || need_status));
    wire [2:0] ans_channel = status_now ? 3'd7 : first_channel;
    wire [1:0] ans_kind = status_now ? A_BLOCK : first_kind;
    wire [7:0] ans_byte = status_now ? 8'd8 : first_byte;
    wire       ans_ready;
    wire       ans_dat_valid = answer_state == N_FIRST_DATA || answer_state == N_STATUS_DATA;
    wire       ans_dat_ready;
    reg  [7:0] status_byte;
    always @(*) begin
        case (read_pos[2:0])
            3'd0: status_byte = count_discarded_bytes[7:0];
            3'd1: status_byte = count_discarded_bytes[15:8];
            3'd2: status_byte = count_discarded_bytes[23:16];
            3'd3: status_byte = count_discarded_bytes[31:24];
            3'd4: status_byte = count_control_discarded[7:0];
            3'd5: status_byte = count_control_discarded[15:8];
            3'd6: status_byte = count_control_discarded[23:16];
            default: status_byte = count_control_discarded[31:24];
        endcase
    end
    wire [7:0] ans_dat_data = answer_state == N_STATUS_DATA ? status_byte : block_q;
    wire       ans_dat_fire = ans_dat_valid && ans_dat_ready;
    wire [7:0] read_next = ans_dat_fire ? read_pos + 8'd1 : read_pos;

    always @(*) begin
        rec_ready = 1'b0;
        if (answer_state == N_ACCEPT) rec_ready = 1'b1;
        else if (answer_state == N_EVAL) rec_ready = rec_valid && !need_first && !need_status;
    end
    wire accept = rec_valid && rec_ready;

    always @(posedge clk) begin
        if (rec_valid && rec_kind == K_DATA && answer_state == N_EVAL) block_mem[block_fill] <= rec_data;
        block_q <= block_mem[read_next];
    end

    assign write_register = accept && rec_kind == K_SINGLE;
    assign write_control = accept && rec_kind == K_DONE;

    always @(posedge clk) begin
        if (rst) begin
            answer_state <= N_EVAL;
            data_left <= 8'd0;
            read_pos <= 8'd0;
            block_len <= 8'd0;
            block_fill <= 8'd0;
            leds <= 4'd0;
            register_set <= 16'd0;
            control_set <= 16'd0;
            count_triggers <= 32'd0;
            count_single_bytes <= 32'd0;
            count_blocks <= 32'd0;
            count_control_sequences <= 32'd0;
        end else begin
            read_pos <= read_next;
            case (answer_state)
                N_EVAL:
                if (ans_ready && !need_first) begin  // the status block alone
                    read_pos <= 8'd0;
                    data_left <= 8'd8;
                    answer_state <= N_STATUS_DATA;
                end else if (ans_ready) begin
                    read_pos <= 8'd0;
                    data_left <= first_byte;
                    if (first_kind == A_BLOCK && first_byte != 8'd0) answer_state <= N_FIRST_DATA;
                    else answer_state <= need_status ? N_STATUS : N_ACCEPT;
                end
                N_FIRST_DATA:
                if (ans_dat_fire) begin
                    data_left <= data_left - 8'd1;
                    if (data_left == 8'd1) answer_state <= need_status ? N_STATUS : N_ACCEPT;
                end
                N_STATUS:
                if (ans_ready) begin
                    read_pos <= 8'd0;
                    data_left <= 8'd8;
                    answer_state <= N_STATUS_DATA;
                end
                N_STATUS_DATA:
                if (ans_dat_fire) begin
                    data_left <= data_left - 8'd1;
                    if (data_left == 8'd1) answer_state <= N_ACCEPT;
                end
                default: answer_state <= N_EVAL;  // N_ACCEPT: the record leaves now
            endcase

            if (accept) begin
                case (rec_kind)
                    K_TRIG: begin
                        leds <= rec_data[3:0];
                        count_triggers <= count_triggers + 32'd1;
                    end
                    K_SINGLE: begin
                        register_set[rec_addr] <= 1'b1;
                        count_single_bytes <= count_single_bytes + 32'd1;
                    end
                    K_BLOCK: begin
                        block_len <= rec_data;
                        block_fill <= 8'd0;
                        if (rec_data == 8'd0) count_blocks <= count_blocks + 32'd1;
                    end
                    K_DATA: begin
                        block_fill <= block_fill + 8'd1;
                        if (rec_last) count_blocks <= count_blocks + 32'd1;
                    end
                    K_DONE: begin
                        control_set[rec_addr] <= 1'b1;
                        count_control_sequences <= count_control_sequences + 32'd1;
                    end
                    default: ;  // CTRL changes nothing; ABORT drops the block (the next preamble resets it)
                endcase
            end
        end
    end

    // ---- the numbered stream
    wire       s_valid, s_ready, s_dat_valid, s_dat_ready;
    wire [2:0] s_channel;
    wire [1:0] s_kind;
    wire [7:0] s_byte, s_dat_data;
    cv_stream_source stream (
        .clk(clk), .rst(rst || behaviour != 2'd3),
        .enable(1'b1), .single_mask(stream_single_mask), .block_mask(stream_block_mask),
        .block_len(stream_block_len), .period(stream_period), .count(stream_count),
        .req_valid(s_valid), .req_ready(s_ready), .req_channel(s_channel), .req_kind(s_kind),
        .req_byte(s_byte), .dat_data(s_dat_data), .dat_valid(s_dat_valid), .dat_ready(s_dat_ready),
        .sent(stream_sent)
    );

    // ---- the answers and the stream take turns at the encoder: one request is on offer at a time, on
    // its channel's port, and stays there until taken; when both ask, they alternate. The data of the
    // message in flight come from the source whose request was taken last.
    wire [ 7:0] req_ready, dat_ready;
    reg         offered_answers;   // whose request was on offer at the last clock
    reg         offer_stays;       // and it was not taken then
    reg         prefer_answers;    // who goes first when both ask
    reg         data_from_answers; // whose message is in flight
    wire        answers_turn = offer_stays ? offered_answers : ans_valid && (!s_valid || prefer_answers);
    wire [ 2:0] turn_channel = answers_turn ? ans_channel : s_channel;
    wire        turn_valid = answers_turn ? ans_valid : s_valid;
    wire        taken = req_ready != 8'd0;
    always @(posedge clk) begin
        if (rst) begin
            offered_answers <= 1'b0;
            offer_stays <= 1'b0;
            prefer_answers <= 1'b1;
            data_from_answers <= 1'b0;
        end else begin
            offered_answers <= answers_turn;
            offer_stays <= turn_valid && !taken;
            if (taken) begin
                prefer_answers <= !answers_turn;
                data_from_answers <= answers_turn;
            end
        end
    end
    wire [ 7:0] req_valid = turn_valid ? (8'd1 << turn_channel) : 8'd0;
    wire [15:0] req_kind = {8{answers_turn ? ans_kind : s_kind}};
    wire [63:0] req_byte = {8{answers_turn ? ans_byte : s_byte}};
    wire [ 7:0] dat_valid = {8{data_from_answers ? ans_dat_valid : s_dat_valid}};
    wire [63:0] dat_data = {8{data_from_answers ? ans_dat_data : s_dat_data}};
    assign ans_ready = answers_turn && taken;
    assign s_ready = !answers_turn && taken;
    assign ans_dat_ready = data_from_answers && dat_ready != 8'd0;
    assign s_dat_ready = !data_from_answers && dat_ready != 8'd0;

    /* verilator lint_off PINCONNECTEMPTY */
    cv_device_encoder encoder (
        .clk(clk), .rst(rst),
        .req_valid(req_valid), .req_ready(req_ready), .req_kind(req_kind), .req_byte(req_byte),
        .dat_valid(dat_valid), .dat_ready(dat_ready), .dat_data(dat_data),
        .out_data(out_data), .out_valid(out_valid), .out_ready(out_ready),
        .busy(), .busy_channel()
    );
    /* verilator lint_on PINCONNECTEMPTY */
endmodule
`default_nettype wire
