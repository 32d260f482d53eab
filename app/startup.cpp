// Start-up steps that prepare the decoder and the font.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "app/startup.h"
#include "base/log.h"
#include "decode/decode.h"
#include "overlay/overlay.h"

int display_retry_delay_ms(int attempt) {
    int ms = 500 * (attempt + 1);
    return ms < 5000 ? ms : 5000;
}

int prepare_decoder(ReaderArgs *ra, const DecodeSettings &settings, StreamFacts &facts) {
    const char *name = settings.decoder.c_str();
    const AVCodec *codec = avcodec_find_decoder_by_name(name);
    if (!codec) {
        say("zyl-mpp: %s decoder missing", name);
        return 1;
    }
    facts.hevc = codec->id == AV_CODEC_ID_HEVC;
    say("zyl-mpp: HW decoder = %s (%s)", name, facts.hevc ? "h265" : "h264");
    // The reader cuts the stream with libavcodec's parser for the codec; a decoder
    // without one cannot be fed at all.
    AVCodecParserContext *parser = av_parser_init(codec->id);
    if (!parser) {
        say("zyl-mpp: no bitstream parser for %s", name);
        return 1;
    }

    const std::optional<std::string> &dev = settings.drm_device;
    AVCodecContext *ctx = new_decoder_ctx(codec, name, dev ? dev->c_str() : nullptr);
    int deferred = strcmp(name, "hevc") == 0;
    if (ctx && !deferred && avcodec_open2(ctx, codec, nullptr) < 0) {
        say("zyl-mpp: open codec failed");
        avcodec_free_context(&ctx);
    }
    if (!ctx) {
        av_parser_close(parser);
        return 1;
    }
    *ra = ReaderArgs{ctx, parser, codec, name, deferred, &facts};
    return 0;
}

void load_font(Font &font, const std::optional<std::string> &first) {
    if (!font_init(font)) return;
    const char *candidates[] = {
        first ? first->c_str() : nullptr,
        "/usr/share/fonts/truetype/dejavu/DejaVuSans-Bold.ttf",
        "/usr/share/fonts/truetype/noto/NotoSans-Bold.ttf",
        "/usr/share/fonts/truetype/dejavu/DejaVuSans.ttf",
        "/usr/share/fonts/truetype/droid/DroidSans-Bold.ttf",
    };
    std::string why;
    int i = font_open_first(font, candidates, 5, &why);
    if (candidates[0] && candidates[0][0] && i != 0)
        say("zyl-mpp: font %s (ZYL_KMS_FONT) not used: %s", candidates[0], why.c_str());
    if (i >= 0)
        say("zyl-mpp: menu font %s", candidates[i]);
    else
        say("zyl-mpp: no TTF font found → 8x8 fallback");
}
