// NAND controller register block (offsets from the "Smart Media/NandFlash
// registers" window). Shared by the driver and the device model.
#ifndef FLASH_SOC_NAND_H
#define FLASH_SOC_NAND_H

#define NAND_CTRL        0x08u  /* written 0xFFFFFFFE first in every operation */
#define NAND_ADDR_CYCLES 0x0Cu  /* address bytes to send, low byte first */
#define NAND_CMD         0x10u  /* command byte; 0xD060 = 0x60, address, 0xD0 */
#define NAND_ADDR        0x14u  /* address value (sector * 256 + column) */
#define NAND_ADDR_HI     0x18u  /* upper address value; always 0 here */
#define NAND_EVENT       0x24u  /* event bits, write one to clear */
#define NAND_MODE        0xF00u /* transfer mode */
#define NAND_COUNT       0xF04u /* data phase length in bytes */
#define NAND_AUX         0xF08u /* 0x20 for a spare read through the FIFO */
#define NAND_DMA_CFG     0xF0Cu /* DMA handshake set-up */
#define NAND_XFER        0xF10u /* 2 then 0: reset transfer logic; 1: start */
#define NAND_FIFO_STAT   0xF14u /* FIFO status */
#define NAND_FIFO        0xF18u /* 32-bit data port, first bus byte in bits 0-7 */

/* NAND_EVENT bits */
#define EV_READY     0x02u /* chip finished reset, program or erase */
#define EV_DMA_DONE  0x04u /* DMA data phase finished */
#define EV_FIFO_DONE 0x08u /* FIFO read finished */
#define EV_ALL       0xFFu

/* NAND_FIFO_STAT bits */
#define FIFO_EMPTY 0x80u

/* NAND_MODE values */
#define NAND_MODE_FIFO_WRITE 0x01u /* processor writes through the FIFO */
#define NAND_MODE_FIFO_READ  0x03u /* processor reads through the FIFO */
#define NAND_MODE_DMA_WRITE  0x04u /* DMA writes the data phase */
#define NAND_MODE_DMA_READ   0x06u /* DMA reads the data phase */
#define NAND_MODE_COMMAND    0x10u /* command and address only */

/* NAND_CTRL, NAND_XFER, NAND_AUX, NAND_DMA_CFG values */
#define NAND_CTRL_START    0xFFFFFFFEu
#define NAND_XFER_RESET    2u
#define NAND_XFER_IDLE     0u
#define NAND_XFER_START    1u
#define NAND_AUX_SPARE     0x20u
#define NAND_DMA_CFG_READ  0xC02004u
#define NAND_DMA_CFG_WRITE 0x40200Cu

/* NAND_COUNT values */
#define NAND_COUNT_SPARE      8u
#define NAND_COUNT_PAGE_WRITE 0x200u
#define NAND_COUNT_PAGE_READ  0x210u
#define NAND_COUNT_ID         4u

/* Small-page chip commands */
#define NAND_CMD_READ0     0x00u   /* read, pointer to the data area */
#define NAND_CMD_READSPARE 0x50u   /* read, pointer to the spare area */
#define NAND_CMD_SEQIN     0x80u   /* serial data input */
#define NAND_CMD_PROGRAM   0x10u   /* program confirm */
#define NAND_CMD_ERASE     0xD060u /* 0x60, block address, 0xD0 */
#define NAND_CMD_STATUS    0x70u
#define NAND_CMD_READID    0x90u
#define NAND_CMD_RESET     0xFFu

#endif
