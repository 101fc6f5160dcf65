/* The firmware's initialised data and its zeroed data, gathered apart from
   the simulator's and the test framework's, so that a board restart can put
   them back to the load image as a real reset reloads the firmware.

   Each firmware in the program has sections of its own: the controller's
   (fw, archives libfw_*.a) and a second controller's (fw_b, libfw_b_*.a),
   so a restart of one leaves the other's globals alone.  The second's
   statements come first: an input section goes to the first statement that
   matches it, and libfw_*.a matches the second's archives too.  A program
   without a second firmware has empty fw_b sections. */
SECTIONS
{
  .fw_b_data : ALIGN(64)
  {
    __fw_b_data_start = .;
    *libfw_b_*.a:*(.data .data.*)
    __fw_b_data_end = .;
  }
  .fw_data : ALIGN(64)
  {
    __fw_data_start = .;
    *libfw_*.a:*(.data .data.*)
    __fw_data_end = .;
  }
}
INSERT AFTER .data;
SECTIONS
{
  .fw_b_bss (NOLOAD) : ALIGN(64)
  {
    __fw_b_bss_start = .;
    *libfw_b_*.a:*(.bss .bss.* COMMON)
    __fw_b_bss_end = .;
  }
  .fw_bss (NOLOAD) : ALIGN(64)
  {
    __fw_bss_start = .;
    *libfw_*.a:*(.bss .bss.* COMMON)
    __fw_bss_end = .;
  }
}
INSERT AFTER .bss;
