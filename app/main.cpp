// zyl-mpp: shows a live H.264/H.265 stream from stdin on every attached display.
#include <pthread.h>

#include <cstdio>
#include <cstring>

#include "app/app.h"
#include "decode/decode.h"

extern "C" {
#include <libavutil/log.h>
}

int main(int argc, char **argv) {
    av_log_set_level(AV_LOG_WARNING);
    if (argc > 1 && strcmp(argv[1], "--caps") == 0) {
        printf("caps gles=%d encode=%d\n", 1, 0);
        return 0;
    }

    read_settings(false);
    static ReaderArgs ra;
    if (int status = prepare_decoder(&ra)) return status;
    load_font();

    pthread_t reader;
    pthread_create(&reader, nullptr, reader_thread, &ra);

    // Until frames have somewhere to go, the loop only hands each one back.
    for (;;) {
        AVFrame *f;
        {
            std::unique_lock lock(g_mb_lock);
            g_mb_cv.wait(lock, [] { return g_mb_n > 0 || g_mb_eof; });
            f = mb_take_locked();
            if (!f) break;
        }
        av_frame_free(&f);
        g_shown_count++;
    }
    pthread_join(reader, nullptr);
    return 0;
}
