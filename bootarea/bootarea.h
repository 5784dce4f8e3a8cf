// Boot loader area: found through the TOC block, erased whole, written one
// sector at a time with the boot spare record.
#ifndef BOOTAREA_BOOTAREA_H
#define BOOTAREA_BOOTAREA_H

#include "flash/flash.h"

// Blocks probed for the TOC block, in ascending order (block 0 never).
#define TOC_SCAN_FIRST_BLOCK 1
#define TOC_SCAN_LAST_BLOCK  100

// The fixed layout the boot area operations work in: 32 sectors of 512 bytes
// a block, whatever chip is fitted.
#define BOOT_SECTORS_PER_BLOCK 32
#define BOOT_SECTOR_BYTES      512

// TOC sector fields (byte offsets, little-endian 32-bit values).
#define TOC_SIGNATURE_OFFSET     0
#define TOC_EBOOT_SECTORS_OFFSET 60
#define TOC_EBOOT_BLOCK_OFFSET   176

// "NTOC" in the sector's first four bytes.
#define TOC_SIGNATURE_0 0x4E
#define TOC_SIGNATURE_1 0x54
#define TOC_SIGNATURE_2 0x4F
#define TOC_SIGNATURE_3 0x43

// Spare record of the TOC block's first sector and of every boot area sector.
#define BOOT_SPARE_OEM_RESERVED 0xFC

BOOL NandIsTocBlock(FlashContext* pFlash, DWORD dwBlock);
BOOL NandLocateTocAndEBoot(FlashContext* pFlash, DWORD dwImageSize);
BOOL NandEraseEBoot(FlashContext* pFlash);
BOOL NandWriteEBootSector(FlashContext* pFlash, DWORD dwIndex, const BYTE* pData);

#endif
