/* The firmware's initialised data and its zeroed data, gathered apart from
   the simulator's and the test framework's, so that a board restart can put
   them back to the load image as a real reset reloads the firmware. */
SECTIONS
{
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
  .fw_bss (NOLOAD) : ALIGN(64)
  {
    __fw_bss_start = .;
    *libfw_*.a:*(.bss .bss.* COMMON)
    __fw_bss_end = .;
  }
}
INSERT AFTER .bss;
