// The on-flash format of the handheld's NAND, as the boot loader, the
// system's flash driver and this driver all read it, and the names of the two
// mutexes through which the drivers share the flash bus.
//
// Everything here is a plain constant: no OS header, no type, so that the
// device code (C++98), the device models, the host tools and the fuzz builder
// all include this one statement of the format instead of restating it.
//
// A small-page sector is one page of the chip: 512 data bytes, then 16 spare
// bytes, read and programmed as one 528-byte raw page:
//
//   raw bytes    0-511  sector data
//              512-519  spare 0-7: the sector's record, little-endian
//                       {dwReserved1 u32, bOEMReserved u8, bBadBlock u8,
//                       wReserved2 u16}
//              520-522  spare 8-10: ECC of data bytes 0-255
//                  523  spare 11: unused (programmed 0xFF with the codes)
//              524-526  spare 12-14: ECC of data bytes 256-511
//                  527  spare 15: unused (programmed 0xFF with the codes)
//
// The boot loader area is found through the TOC block: the first of blocks
// 1..100 whose first sector carries the boot spare record
// 00 00 00 00 FC 00 00 00. Its sector 0 holds "NTOC" at offset 0, the area's
// sector count at offset 60 and its first block at offset 176 (little-endian
// 32-bit values at any alignment). The area is laid out in 32 sectors of 512
// bytes a block whatever chip is fitted, so it exists only on small-page
// chips. Every sector of the area carries the boot spare record too.
#ifndef FLASH_NAND_FORMAT_H
#define FLASH_NAND_FORMAT_H

// --- the small-page sector ---
#define NAND_SECTOR_BYTES   512
#define NAND_SPARE_BYTES    16
#define NAND_RAW_PAGE_BYTES (NAND_SECTOR_BYTES + NAND_SPARE_BYTES)

// Spare byte positions (from the first spare byte).
#define SPARE_RECORD_OFFSET       0
#define SPARE_RECORD_BYTES        8
#define SPARE_OEM_RESERVED_OFFSET 4
#define SPARE_BAD_BLOCK_OFFSET    5
// The codes of the two 256-byte halves, three bytes each, at spare 8 and 12;
// spare 8-15 are programmed together in one operation.
#define SPARE_ECC_OFFSET  8
#define SPARE_ECC_BYTES   8
#define SPARE_ECC0_OFFSET 8
#define SPARE_ECC1_OFFSET 12

// --- the boot loader area and its TOC ---
// Blocks probed for the TOC block, in ascending order (block 0 never).
#define TOC_SCAN_FIRST_BLOCK 1
#define TOC_SCAN_LAST_BLOCK  100

// The fixed layout the boot area operations work in.
#define BOOT_SECTORS_PER_BLOCK 32
#define BOOT_SECTOR_BYTES      512

// TOC sector fields (byte offsets).
#define TOC_SECTOR_BYTES         512
#define TOC_SIGNATURE_OFFSET     0
#define TOC_EBOOT_SECTORS_OFFSET 60
#define TOC_EBOOT_BLOCK_OFFSET   176

// "NTOC" in the sector's first four bytes.
#define TOC_SIGNATURE_0 0x4E
#define TOC_SIGNATURE_1 0x54
#define TOC_SIGNATURE_2 0x4F
#define TOC_SIGNATURE_3 0x43

// The boot spare record: the TOC block's first sector and every boot area
// sector carry it.
#define BOOT_SPARE_RESERVED1    0
#define BOOT_SPARE_OEM_RESERVED 0xFC
#define BOOT_SPARE_BAD_BLOCK    0
#define BOOT_SPARE_RESERVED2    0

// --- the flash bus ---
// The system's flash driver creates the flash mutex when the OS starts and
// holds it whenever it uses the chip; the pin mutex guards the pins the NAND
// controller shares with the camera. Whoever drives the chip holds both,
// taken in this order. The narrow forms name them in host-side records.
#define FLASH_MUTEX_NAME_A "_FLASH_MUTEX_"
#define PIN_MUTEX_NAME_A   "PIN_MUX_CAM_NANDFLASH_MUTEX"
#define NAND_FORMAT_WIDE_(s) L##s
#define NAND_FORMAT_WIDE(s)  NAND_FORMAT_WIDE_(s)
#define FLASH_MUTEX_NAME     NAND_FORMAT_WIDE(FLASH_MUTEX_NAME_A)
#define PIN_MUTEX_NAME       NAND_FORMAT_WIDE(PIN_MUTEX_NAME_A)

#endif
