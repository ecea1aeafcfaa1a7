`default_nettype none
// The clock-crossing FIFO between two clocks that the solver toggles as it likes (after clk2fflogic every
// flip-flop samples on the global step and each clock is just another input). Both sides are held in
// reset for the first steps while each clock ticks, then run free.
module cdc_formal (
    input wire       wr_clk,
    input wire       rd_clk,
    input wire [7:0] wr_data,
    input wire       wr_valid,
    input wire       rd_ready
);
    reg [3:0] step = 4'd0;
    always @($global_clock) if (step != 4'd15) step <= step + 4'd1;
    wire rst = step < 4'd6;
    always @(*) if (rst) assume (wr_clk == step[0] && rd_clk == step[0]);

    wire wr_ready, rd_valid;
    wire [7:0] rd_data;
    cv_async_fifo #(.WIDTH(8), .DEPTH_LOG2(2)) fifo (
        .wr_clk(wr_clk), .wr_rst(rst), .wr_data(wr_data), .wr_valid(wr_valid), .wr_ready(wr_ready),
        .rd_clk(rd_clk), .rd_rst(rst), .rd_data(rd_data), .rd_valid(rd_valid), .rd_ready(rd_ready)
    );
endmodule
`default_nettype wire
