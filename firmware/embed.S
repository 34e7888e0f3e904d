/* The firmware image, embedded in the executable's read-only data so that
   the Linux build, like the Windows one, carries its image in its own memory. */
    .section .rodata.firmware_image, "a"
    .balign 16
    .globl fw_embedded_image_start
fw_embedded_image_start:
    .incbin FIRMWARE_BIN
    .globl fw_embedded_image_end
fw_embedded_image_end:
    .byte 0
/* The image's SHA-256 as the build computed it: 32 raw bytes, the check
   value the updater compares the image with at the start of a run. */
    .balign 16
    .globl fw_embedded_digest_start
fw_embedded_digest_start:
    .incbin FIRMWARE_DIGEST
    .globl fw_embedded_digest_end
fw_embedded_digest_end:
    .byte 0
    .section .note.GNU-stack, "", @progbits
