`default_nettype none
// The bridge chip's data bus pins: the only tristate of the design, for the FPGA's top level. Everything
// below it uses the split in/out/output-enable bus. d_in reads the pins, so while the FPGA drives them
// it reads back its own byte.
module cv_ft245_pins (
    inout  wire [7:0] d,
    input  wire [7:0] d_out,
    input  wire       d_oe,
    output wire [7:0] d_in
);
    assign d = d_oe ? d_out : 8'bzzzzzzzz;
    assign d_in = d;
endmodule
`default_nettype wire
