// Boot loader area: found through the TOC block, erased whole, written one
// sector at a time with the boot spare record (the layout: flash/nand_format.h).
#ifndef BOOTAREA_BOOTAREA_H
#define BOOTAREA_BOOTAREA_H

#include "flash/flash.h"
#include "flash/nand_format.h"

BOOL NandIsTocBlock(FlashContext* pFlash, DWORD dwBlock);
BOOL NandLocateTocAndEBoot(FlashContext* pFlash, DWORD dwImageSize);
BOOL NandEraseEBoot(FlashContext* pFlash);
BOOL NandWriteEBootSector(FlashContext* pFlash, DWORD dwIndex, const BYTE* pData);

#endif
