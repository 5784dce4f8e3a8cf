// Fixed windows of the SoC in the kernel's statically mapped, uncached range.
// The driver maps each one into its process with VirtualAlloc + VirtualCopy;
// the device models serve the same addresses.
#ifndef FLASH_SOC_WINDOWS_H
#define FLASH_SOC_WINDOWS_H

#define DMA_REGS_VA          0xA8000000u /* "DMA Controller registers" */
#define DMA_REGS_SIZE        0x2000u
#define RESSHARE_REGS_VA     0xAA030000u /* "Resource Sharing registers" */
#define RESSHARE_REGS_SIZE   0x2000u
#define EXTBOARD_REGS_VA     0xA4000000u /* "Extension board registers" */
#define EXTBOARD_REGS_SIZE   0x2000u
#define NAND_REGS_VA         0xAB070000u /* "Smart Media/NandFlash registers" */
#define NAND_REGS_SIZE       0x2000u
#define DRIVER_GLOBALS_VA    0xAC002000u /* "driver globals" */
#define DRIVER_GLOBALS_SIZE  0x2000u
#define NAND_DMA_BUFFER_VA   0xAC00D000u /* "NANDFLASH DMA Base Address" */
#define NAND_DMA_BUFFER_SIZE 0x3000u

/* The DMA controller's own (bus) address of the NAND DMA buffer window. */
#define NAND_DMA_BUFFER_PA 0x30003400u

#endif
