`default_nettype none
// A clock-domain crossing FIFO (valid/ready on both sides) with Gray-coded pointers.
//
// Each side keeps a binary pointer and its Gray code (one more bit than the address, so full and empty
// differ); only the Gray code crosses, through two flip-flops in the other domain. A Gray pointer moves
// one bit per step, so a synchroniser that samples it mid-change sees either the old or the new value,
// never a mixture: the writer at worst thinks the FIFO fuller than it is, the reader emptier. Holds
// 2**DEPTH_LOG2 words. The memory is written in wr_clk and read into a register in rd_clk (a block RAM
// where the part has one); the register is the read side's output stage, so rd_data/rd_valid come
// straight from flip-flops. DEPTH_LOG2 is 1 or more. Each side's reset clears only that side: reset both together.
//
// Constraints. Paths from the Gray pointer registers (wr_gray, rd_gray) to the first synchroniser stage
// (rd_wsync0, wr_rsync0) and from the memory to the read register cross clocks. They need no timing
// closure against either clock, but the skew between the bits of one pointer must stay below one period
// of the faster clock, or the reader could see two bits change at once:
//   Vivado (XDC):   set_max_delay -datapath_only -from [get_cells -hier *wr_gray_reg*] \
//                       -to [get_cells -hier *rd_wsync0_reg*] <period of rd_clk>
//                   set_max_delay -datapath_only -from [get_cells -hier *rd_gray_reg*] \
//                       -to [get_cells -hier *wr_rsync0_reg*] <period of wr_clk>
//                   (the ASYNC_REG attribute below keeps each synchroniser pair together)
//   SDC (Quartus, Libero, Radiant/Diamond): the same two set_max_delay commands on the same registers,
//                   or set_false_path between the two clocks plus a set_net_delay/skew limit where the
//                   tool offers one; Lattice Diamond's LPF: MAXDELAY FROM CELL "*wr_gray*" TO CELL
//                   "*rd_wsync0*" <ns>, and likewise for rd_gray to wr_rsync0.
//   nextpnr:        declare the two clocks (--pre-pack with ctx.addClock, or a PCF/SDC set_frequency);
//                   nextpnr does not time paths between unrelated clocks and has no max-delay command, so
//                   check the report's cross-domain section: the pointer paths are a few LUT delays, far
//                   below one period at the frequencies these parts run.
module cv_async_fifo #(
    parameter integer WIDTH = 8,
    parameter integer DEPTH_LOG2 = 4
) (
    input  wire             wr_clk,
    input  wire             wr_rst,
    input  wire [WIDTH-1:0] wr_data,
    input  wire             wr_valid,
    output wire             wr_ready,
    input  wire             rd_clk,
    input  wire             rd_rst,
    output wire [WIDTH-1:0] rd_data,
    output wire             rd_valid,
    input  wire             rd_ready
);
    localparam integer P = DEPTH_LOG2 + 1;

    reg [WIDTH-1:0] mem[0:(1<<DEPTH_LOG2)-1];

    // Write side.
    reg [P-1:0] wr_bin, wr_gray;
    (* ASYNC_REG = "TRUE" *) reg [P-1:0] wr_rsync0;
    (* ASYNC_REG = "TRUE" *) reg [P-1:0] wr_rsync1;
    reg wr_full;
    wire wr_take = wr_valid && !wr_full;
    wire [P-1:0] wr_bin_next = wr_bin + {{(P-1){1'b0}}, wr_take};
    wire [P-1:0] wr_gray_next = wr_bin_next ^ (wr_bin_next >> 1);
    // Full: the writer is one lap ahead, i.e. the Gray codes differ in exactly the top two bits.
    wire wr_full_next = wr_gray_next == (wr_rsync1 ^ {2'b11, {(P-2){1'b0}}});

    always @(posedge wr_clk) begin
        if (wr_take)
            mem[wr_bin[DEPTH_LOG2-1:0]] <= wr_data;
    end
    always @(posedge wr_clk) begin
        if (wr_rst) begin
            wr_bin <= {P{1'b0}};
            wr_gray <= {P{1'b0}};
            wr_rsync0 <= {P{1'b0}};
            wr_rsync1 <= {P{1'b0}};
            wr_full <= 1'b0;
        end else begin
            wr_bin <= wr_bin_next;
            wr_gray <= wr_gray_next;
            wr_rsync0 <= rd_gray;
            wr_rsync1 <= wr_rsync0;
            wr_full <= wr_full_next;
        end
    end
    assign wr_ready = !wr_full;

    // Read side: rd_bin is the next word to fetch into the output register.
    reg [P-1:0] rd_bin, rd_gray;
    (* ASYNC_REG = "TRUE" *) reg [P-1:0] rd_wsync0;
    (* ASYNC_REG = "TRUE" *) reg [P-1:0] rd_wsync1;
    reg [WIDTH-1:0] rd_q;
    reg rd_q_valid;
    wire rd_mem_empty = rd_gray == rd_wsync1;
    wire rd_fetch = !rd_mem_empty && (!rd_q_valid || rd_ready);
    wire [P-1:0] rd_bin_next = rd_bin + {{(P-1){1'b0}}, rd_fetch};

`ifdef FORMAL
    // No overflow, no underflow: the true fill (both binary pointers) stays within the depth, a word is
    // written only with room for it and fetched only after it was written.
    wire [P-1:0] f_fill = wr_bin - rd_bin;
    always @(*) begin
        if (!wr_rst && !rd_rst) begin
            assert (f_fill <= (1 << DEPTH_LOG2));
            if (wr_take) assert (f_fill < (1 << DEPTH_LOG2));
            if (rd_fetch) assert (f_fill != 0);
        end
    end
`endif
    always @(posedge rd_clk) begin
        if (rd_fetch)
            rd_q <= mem[rd_bin[DEPTH_LOG2-1:0]];
    end
    always @(posedge rd_clk) begin
        if (rd_rst) begin
            rd_bin <= {P{1'b0}};
            rd_gray <= {P{1'b0}};
            rd_wsync0 <= {P{1'b0}};
            rd_wsync1 <= {P{1'b0}};
            rd_q_valid <= 1'b0;
        end else begin
            rd_bin <= rd_bin_next;
            rd_gray <= rd_bin_next ^ (rd_bin_next >> 1);
            rd_wsync0 <= wr_gray;
            rd_wsync1 <= rd_wsync0;
            if (rd_fetch)
                rd_q_valid <= 1'b1;
            else if (rd_ready)
                rd_q_valid <= 1'b0;
        end
    end
    assign rd_data = rd_q;
    assign rd_valid = rd_q_valid;
endmodule
`default_nettype wire
