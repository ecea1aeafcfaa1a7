`default_nettype none
// The board's messages to the host, one whole message at a time, from eight channel ports.
//
// Channel c asks with req_valid[c], its kind in req_kind[2c+1:2c] (0 trigger 0xC8|c, 1 single byte
// 0xD0|c, 2 block 0xE0|c) and its byte in req_byte[8c+7:8c] (the trigger value, the data byte or the
// block length, 0 to 255). req_ready[c] takes the request as its command byte leaves; a block's data
// bytes then come from dat_data[8c+7:8c] with dat_valid[c]/dat_ready[c], and no other channel's
// byte comes between them. Between channels a round-robin arbiter decides: after a message of
// channel c, channel c+1 comes first, so with all eight asking each waits for at most seven
// messages of the others. busy/busy_channel say which channel's message is on its way (the
// caller keeps that channel's data source in place until busy falls).
// While out_ready stays high the encoder sends one byte per clock.
module cv_device_encoder (
    input  wire        clk,
    input  wire        rst,
    input  wire [ 7:0] req_valid,
    output wire [ 7:0] req_ready,
    input  wire [15:0] req_kind,
    input  wire [63:0] req_byte,
    input  wire [ 7:0] dat_valid,
    output wire [ 7:0] dat_ready,
    input  wire [63:0] dat_data,
    output reg  [ 7:0] out_data,
    output reg         out_valid,
    input  wire        out_ready,
    output wire        busy,
    output wire [ 2:0] busy_channel
);
    localparam [1:0] S_IDLE = 2'd0, S_PAYLOAD = 2'd1, S_DATA = 2'd2;

    reg [1:0] state;
    reg [2:0] chan;      // the channel whose message is on its way
    reg [2:0] first;     // the channel that comes first at the next arbitration
    reg       is_block;
    reg [7:0] payload;
    reg [7:0] left;      // block data bytes still to send

    wire out_free = !out_valid || out_ready;

    // Round-robin: the lowest asking channel at or after `first`, else the lowest asking one.
    reg  [7:0] from_first;
    reg  [2:0] lowest_from_first, lowest;
    integer    i;
    always @(*) begin
        for (i = 0; i < 8; i = i + 1) from_first[i] = req_valid[i] && i >= first;
        lowest_from_first = 3'd0;
        lowest = 3'd0;
        for (i = 7; i >= 0; i = i - 1) begin
            if (from_first[i]) lowest_from_first = i[2:0];
            if (req_valid[i]) lowest = i[2:0];
        end
    end
    wire [2:0] grant = from_first != 8'd0 ? lowest_from_first : lowest;
    wire       any   = req_valid != 8'd0;
    wire       start      = state == S_IDLE && any && out_free;
    wire [1:0] grant_kind = req_kind[2*grant+:2];
    wire [7:0] grant_byte = req_byte[8*grant+:8];

    assign req_ready    = start ? (8'd1 << grant) : 8'd0;
    assign dat_ready    = (state == S_DATA && out_free) ? (8'd1 << chan) : 8'd0;
    assign busy         = state != S_IDLE;
    assign busy_channel = chan;

    reg [7:0] command;
    always @(*) begin
        case (grant_kind)
            2'd0: command = {5'b11001, grant};
            2'd1: command = {5'b11010, grant};
            default: command = {5'b11100, grant};
        endcase
    end

    always @(posedge clk) begin
        if (rst) begin
            state <= S_IDLE;
            chan <= 3'd0;
            first <= 3'd0;
            is_block <= 1'b0;
            payload <= 8'h00;
            left <= 8'h00;
            out_data <= 8'h00;
            out_valid <= 1'b0;
        end else begin
            if (out_valid && out_ready) out_valid <= 1'b0;
            case (state)
                S_IDLE:
                if (start) begin
                    out_data <= command;
                    out_valid <= 1'b1;
                    chan <= grant;
                    is_block <= grant_kind[1];
                    payload <= grant_byte;
                    left <= grant_byte;
                    state <= S_PAYLOAD;
                end
                S_PAYLOAD:
                if (out_free) begin
                    out_data <= payload;
                    out_valid <= 1'b1;
                    if (is_block && payload != 8'h00) begin
                        state <= S_DATA;
                    end else begin
                        state <= S_IDLE;
                        first <= chan + 3'd1;
                    end
                end
                default:  // S_DATA
                if (out_free && dat_valid[chan]) begin
                    out_data <= dat_data[8*chan+:8];
                    out_valid <= 1'b1;
                    left <= left - 8'd1;
                    if (left == 8'd1) begin
                        state <= S_IDLE;
                        first <= chan + 3'd1;
                    end
                end
            endcase
        end
    end
endmodule
`default_nettype wire
