// DMA controller register block (offsets from the "DMA Controller registers"
// window): the channel that serves the NAND controller.
#ifndef FLASH_SOC_DMA_H
#define FLASH_SOC_DMA_H

#define DMA_CH_BUF  0x40u  /* buffer bus address; the write that arms the channel */
#define DMA_CH_LEN  0x44u  /* length in 32-bit words */
#define DMA_CH_EXT  0x48u  /* written 0 */
#define DMA_CH_CTRL 0x4Cu  /* bit 2: direction */
#define DMA_STAT    0x110u /* bit 4: channel busy */
#define DMA_DRAIN   0x804u /* write 1 after a read; reads 0 once drained */

#define DMA_CTRL_TO_DEVICE 0x04u /* set: memory to NAND controller (write) */
#define DMA_STAT_BUSY      0x10u
#define DMA_LEN_READ       132u /* 528 bytes: page and spare */
#define DMA_LEN_WRITE      128u /* 512 bytes: page data */

#endif
