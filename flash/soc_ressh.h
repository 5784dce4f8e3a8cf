// Resource-sharing (pin multiplexing) and extension-board registers, and the
// driver-globals word that shadows the extension-board control register.
#ifndef FLASH_SOC_RESSH_H
#define FLASH_SOC_RESSH_H

#define RS_PINMUX        0x04u   /* resource sharing window */
#define RS_PINMUX_CAMERA 0x4000u /* bit 14: shared pins given to the camera */

#define EXT_BOARD_CTRL    0x400u /* extension board window; write only */
#define EXT_BOARD_NAND_WP 0x80u  /* bit 7: NAND write protect asserted */

#define EXT_BOARD_SHADOW 0x420u /* driver globals page; little-endian, unaligned-safe */

#endif
