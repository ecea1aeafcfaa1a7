/* A program of a library user, built against an installed Corvane only: it opens the library,
 * lists the boards, opens the first, sends it one byte and waits for the echo in its callback. */
#include "corvane.h"

#include <stdatomic.h>
#include <stdio.h>
#include <string.h>
#if defined(_WIN32)
#include <windows.h>
static void pause_ms(unsigned ms) { Sleep(ms); }
#else
#include <time.h>
static void pause_ms(unsigned ms) {
    struct timespec delay = {0, (long)ms * 1000000L};
    nanosleep(&delay, NULL);
}
#endif

static atomic_int echoed;
static char echo[64];

static int32_t CORVANE_CALL on_message(int32_t board, int32_t channel, uint32_t command, uint32_t length,
                                       uint8_t* bytes, uint32_t length2) {
    /* Written before the release store that the main thread's acquire load pairs with. */
    snprintf(echo, sizeof echo, "board %d channel %d command %02X length %u byte %02X", (int)board, (int)channel,
             (unsigned)command, (unsigned)length, length2 > 0 ? bytes[0] : 0u);
    atomic_store_explicit(&echoed, 1, memory_order_release);
    return 0;
}

int main(void) {
    NRV_CV_Open(0, 0, 0);
    printf("%s %s\n", NRV_CV_GetName(), NRV_CV_GetVersionString());
    const int32_t boards = NRV_CV_QueryDevices();
    printf("boards: %d\n", (int)boards);
    if (boards < 1 || !NRV_CV_OpenDeviceByIndex(0) || !NRV_CV_SelectActiveDeviceByIndex(0)) {
        printf("no board: %s\n", NRV_CV_GetLastError());
        return 1;
    }
    printf("board 0: %s\n", NRV_CV_GetDeviceSerial(0));
    NRV_CV_RegisterReadCallback(on_message);
    if (!NRV_CV_SendByte(3, 0x41)) {
        printf("send failed: %s\n", NRV_CV_GetLastError());
        return 1;
    }
    for (int waited = 0; waited < 30000 && !atomic_load_explicit(&echoed, memory_order_acquire); waited += 10) {
        pause_ms(10);
    }
    if (!atomic_load_explicit(&echoed, memory_order_acquire)) {
        printf("no echo within 30 s\n");
        return 1;
    }
    printf("echo: %s\n", echo);
    return 0;
}
