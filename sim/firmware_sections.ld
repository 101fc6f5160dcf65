/* The firmware's initialised data and its zeroed data, gathered apart from
   the simulator's and the test framework's, so that a board restart can put
   them back to the load image as a real reset reloads the firmware.

   Each firmware in the program has sections of its own: the controller's
   (fw, archives libfw_*.a), a second controller's (fw_b, libfw_b_*.a) and
   a benchmark's firmware without per-command statistics (fw_bare,
   libfw_bare_*.a), so a restart of one leaves the others' globals alone.
   The others' statements come first: an input section goes to the first
   statement that matches it, and libfw_*.a matches their archives too.  A
   program without them has empty sections for them.

   The sanitizers' own records of the firmware's globals and checks (in the
   sanitized build, where the firmware is compiled with -fdata-sections so
   that they come in sections of their own) are not the firmware's data and
   never change: they are gathered first, apart, so that a restart does
   not copy megabytes of them back. */
SECTIONS
{
  .fw_sanitizer_data : ALIGN(64)
  {
    *libfw_*.a:*(.data..LASAN* .data..Lubsan_*)
  }
  .fw_bare_data : ALIGN(64)
  {
    __fw_bare_data_start = .;
    *libfw_bare_*.a:*(.data .data.*)
    __fw_bare_data_end = .;
  }
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
  .fw_bare_bss (NOLOAD) : ALIGN(64)
  {
    __fw_bare_bss_start = .;
    *libfw_bare_*.a:*(.bss .bss.* COMMON)
    __fw_bare_bss_end = .;
  }
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
