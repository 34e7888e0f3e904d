/* The simulated scanner as the kernel-mode driver sees it. The driver is C
   (the kernel headers do not build as C++), the model is freestanding C++;
   this plain-C surface joins them without either side knowing the other's
   types. */
#ifndef WINE_SCANNER_MODEL_BRIDGE_H
#define WINE_SCANNER_MODEL_BRIDGE_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

/* Reads the named configuration value into buffer (at most size bytes).
   Returns the value's length, or -1 when the value is absent. */
typedef int (*BridgeValueReader)(void* context, const char* name, void* buffer, uint32_t size);

/* What one transfer call does, as the driver must complete it. */
typedef struct BridgeTransfer {
    uint8_t answered;  /* 0: the scanner never completes it; the host's time-out ends it */
    uint8_t callOk;    /* the call itself succeeds */
    uint8_t signalled; /* the completion is signalled */
    uint8_t resultOk;  /* the outcome can be fetched */
    uint32_t count;    /* bytes moved */
} BridgeTransfer;

/* Builds the scanner from the default configuration with every named value
   that the reader finds laid over it. Returns 0 when a value had the wrong
   length (the scanner is then left at its default). */
int BridgeConfigure(BridgeValueReader reader, void* context);

int BridgePresent(uint64_t nowMs, int32_t* path);
uint32_t BridgeGeneration(uint64_t nowMs);
void BridgeDescriptor(uint16_t* vendorId, uint16_t* productId, uint8_t* fails);
void BridgeWrite(uint64_t nowMs, const uint8_t* data, uint32_t size, BridgeTransfer* out);
void BridgeRead(uint64_t nowMs, uint8_t* data, uint32_t size, BridgeTransfer* out);
/* The host resets one bulk pipe (read != 0: the read pipe), clearing a halt
   the scanner's stall left on it. */
void BridgeResetPipe(int read);

/* The wire trace (platform/sim/usbpcap.h): the pcap file header, and both
   packets of one device request, in the simulated host's very bytes.
   kind: 0 descriptor, 1 write, 2 read. Return the bytes written into out,
   0 when room is too small (BridgeTraceRoom() is always enough). */
uint32_t BridgeTraceHeader(uint8_t* out);
uint32_t BridgeTraceRoom(void);
uint32_t BridgeTraceRequest(uint64_t irpId, uint64_t timeUs, uint16_t address, uint8_t kind, uint32_t size,
                            const uint8_t* outData, uint32_t status, uint32_t count, const uint8_t* inData,
                            uint16_t vendorId, uint16_t productId, uint8_t* out, uint32_t room);
/* The address and statuses the trace gives a request; an unanswered one is
   recorded as given up at the host's time-out. */
uint16_t BridgeTraceAddress(int32_t path, uint32_t generation);
uint32_t BridgeTraceStatus(const BridgeTransfer* transfer);
uint32_t BridgeTraceStatusGone(void);
uint32_t BridgeTraceStatusFailed(void);
uint32_t BridgeTraceStatusNotSupported(void);

/* Copies the whole model (configuration, observations and state) for the
   harness's report. Returns the model's size; copies nothing when size is
   too small. */
uint32_t BridgeSnapshot(void* out, uint32_t size);

#ifdef __cplusplus
}
#endif

#endif
