#!/usr/bin/env bash
# Makes the small test streams and standby pictures into DIR with the ffmpeg
# command-line tool.
# Already made streams are kept, so running it again costs nothing.
set -euo pipefail
dir=${1:?usage: make-streams.sh DIR}
mkdir -p "$dir"
ff=(ffmpeg -hide_banner -loglevel error -nostdin -y)
src() { echo "testsrc2=size=$1:rate=${2:-30}"; }

make() {  # make NAME ffmpeg-args...
  local name=$1; shift
  [ -s "$dir/$name" ] && return 0
  "${ff[@]}" "$@" "$dir/$name.part.${name##*.}" && mv "$dir/$name.part.${name##*.}" "$dir/$name"
}

x264=(-c:v libx264 -preset ultrafast -tune zerolatency -pix_fmt yuv420p -bsf:v h264_mp4toannexb -f h264)
# 60 frames, an IDR every 30, buffering-period and picture-timing SEI in every unit.
make h264_sei.h264 -f lavfi -i "$(src 320x240)" -frames:v 60 "${x264[@]}" -g 30 -keyint_min 30 \
  -x264-params "nal-hrd=vbr:vbv-maxrate=800:vbv-bufsize=800:scenecut=0" -b:v 600k
# The same without any SEI unit.
make h264_nosei.h264 -f lavfi -i "$(src 320x240)" -frames:v 60 "${x264[@]}" -g 30 -keyint_min 30 \
  -x264-params "scenecut=0" -bsf:v "h264_mp4toannexb,filter_units=remove_types=6"
# A resolution change at the IDR that starts the second half.
make h264_part2.h264 -f lavfi -i "$(src 480x272)" -frames:v 30 "${x264[@]}" -g 30 -x264-params scenecut=0
if [ ! -s "$dir/h264_reschange.h264" ]; then
  cat "$dir/h264_nosei.h264" "$dir/h264_part2.h264" > "$dir/h264_reschange.h264.part"
  mv "$dir/h264_reschange.h264.part" "$dir/h264_reschange.h264"
fi
# B-frames: the decoder holds pictures back, so the end-of-stream drain returns several.
make h264_bframes.h264 -f lavfi -i "$(src 320x240)" -frames:v 30 -c:v libx264 -preset medium \
  -pix_fmt yuv420p -bsf:v h264_mp4toannexb -f h264 -g 30 -bf 3 -x264-params "scenecut=0:b-adapt=0"
# 30 frames whose last three are solid red: the last picture shown must be red.
make h264_endred.h264 -f lavfi -i "$(src 320x240)" -frames:v 30 \
  -vf "drawbox=x=0:y=0:w=iw:h=ih:color=red:t=fill:enable='gte(n,27)'" "${x264[@]}" -g 30
# 20 seconds at 30 fps for leak and hand-over checks over many frames.
make h264_long.h264 -f lavfi -i "$(src 320x240)" -frames:v 600 "${x264[@]}" -g 30 \
  -x264-params scenecut=0
# 10 seconds at 640x360 for the heap watch, looped by the feeder.
make h264_640x360.h264 -f lavfi -i "$(src 640x360)" -frames:v 300 "${x264[@]}" -g 30 \
  -x264-params scenecut=0
# HEVC that begins with VPS/SPS/PPS, an IDR every 30 frames.
make hevc.h265 -f lavfi -i "$(src 320x240)" -frames:v 60 -c:v libx265 -preset ultrafast -pix_fmt yuv420p \
  -x265-params "keyint=30:min-keyint=30:scenecut=0:bframes=0:log-level=error" -f hevc
# HEVC Main10 (10-bit 4:2:0), as hevc.h265 otherwise; its last six frames carry a red
# bar over the left 200 pixels, which spans the first two 96-pixel columns of P030.
make hevc_main10.h265 -f lavfi -i "$(src 320x240)" -frames:v 60 \
  -vf "drawbox=x=0:y=0:w=200:h=ih:color=red:t=fill:enable='gte(n,54)'" -c:v libx265 \
  -preset ultrafast -pix_fmt yuv420p10le \
  -x265-params "keyint=30:min-keyint=30:scenecut=0:bframes=0:log-level=error" -f hevc
# One keyframe only (-g 300) in 90 frames, the last six solid red: after a gap the
# gate can only give up, and a red picture at the end proves the video came back.
make h264_rarekey.h264 -f lavfi -i "$(src 320x240)" -frames:v 90 \
  -vf "drawbox=x=0:y=0:w=iw:h=ih:color=red:t=fill:enable='gte(n,84)'" "${x264[@]}" -g 300 \
  -x264-params scenecut=0
# Open GOP: one IDR, then a non-IDR I picture with a recovery point every 30 frames,
# so a flushed decoder speaks again without an IDR.
make h264_opengop.h264 -f lavfi -i "$(src 320x240)" -frames:v 150 -c:v libx264 -preset veryfast \
  -pix_fmt yuv420p -bsf:v h264_mp4toannexb -f h264 -g 30 -x264-params "scenecut=0:open-gop=1:bframes=1"
# What a live H.265 encoder sends: VPS/SPS/PPS repeated at every keyframe, B-frames
# (x265 ultrafast defaults), a keyframe every 30 frames, 90 frames.
x265live=(-c:v libx265 -preset ultrafast -pix_fmt yuv420p -f hevc)
make hevc_live.h265 -f lavfi -i "$(src 320x240)" -frames:v 90 "${x265live[@]}" \
  -x265-params "keyint=30:min-keyint=30:scenecut=0:repeat-headers=1:log-level=error"
# The same sender at a new resolution: played after hevc_live.h265 it is a real change.
make hevc_live_part2.h265 -f lavfi -i "$(src 480x272)" -frames:v 30 "${x265live[@]}" \
  -x265-params "keyint=30:min-keyint=30:scenecut=0:repeat-headers=1:log-level=error"
# x264 with B-frames and a 30-frame GOP: the decoder hands each picture out late.
make h264_live_b.h264 -f lavfi -i "$(src 320x240)" -frames:v 90 -c:v libx264 -preset veryfast \
  -pix_fmt yuv420p -bsf:v h264_mp4toannexb -f h264 -g 30 -keyint_min 30 -x264-params scenecut=0
# A damaged link: h264_long.h264 with about one byte in 400 changed (the noise filter
# is seeded the same every time), start codes and headers included.
make h264_noise.h264 -i "$dir/h264_long.h264" -c copy -bsf:v noise=amount=400 -f h264
# 60 fps: 120 moving frames, then the last one held for 30 more (the pictures at the
# end are all the same, whichever of them a rate-limited copy took last).
make h264_60fps.h264 -f lavfi -i "$(src 320x240 60)" -frames:v 150 \
  -vf "tpad=stop_mode=clone:stop=30,trim=end_frame=150" "${x264[@]}" -g 60 -x264-params scenecut=0
# A red bar on the left of a grey picture: a mirrored display shows it on the right.
make h264_leftred.h264 -f lavfi -i "color=c=gray:size=320x240:rate=30" -frames:v 30 \
  -vf "drawbox=x=0:y=0:w=80:h=ih:color=red:t=fill" "${x264[@]}" -g 30
# 60 fps of solid red and solid blue in turn: half of one and half of the other in a
# copy is a torn frame.
make h264_redblue.h264 -f lavfi -i "color=c=red:size=320x240:rate=60" -frames:v 60 \
  -vf "drawbox=x=0:y=0:w=iw:h=ih:color=blue:t=fill:enable='mod(n,2)'" "${x264[@]}" -g 60

# 1920x1080, 30 frames: more than a plane can reduce onto a small panel in one step.
make h264_1080p.h264 -f lavfi -i "$(src 1920x1080)" -frames:v 30 "${x264[@]}" -g 30 \
  -x264-params scenecut=0

# 1280x720 of green (0,200,0) converted with the BT.709 matrix and tagged so, and
# with BT.601 and tagged so: shown with the other matrix the green is off by 30 or more.
for m in bt709:bt709 smpte170m:bt601; do
  make "h264_green_${m%%:*}.h264" -f lavfi -i "color=c=0x00C800:size=1280x720:rate=30" \
    -frames:v 10 -vf "scale=out_color_matrix=${m#*:}:out_range=tv" "${x264[@]}" -g 30 \
    -colorspace "${m%%:*}" -color_range tv
done

# Standby pictures: PNG in each colour type (RGB, RGBA, grey, 16-bit, palette),
# baseline and progressive JPEG, odd sizes, 4:3 and 16:9, and one of 8000x8000.
pic() {  # pic NAME SOURCE FILTERS [encoder options...]
  local name=$1 source=$2 vf=$3; shift 3
  make "$name" -f lavfi -i "$source:rate=1:duration=1" -frames:v 1 -vf "$vf" -update 1 "$@"
}
pic std_rgb_4x3.png testsrc2=size=640x480 format=rgb24
pic std_rgba.png testsrc2=size=400x300 "format=rgba,colorchannelmixer=aa=0.5"
pic std_grey_odd.png testsrc2=size=320x240 "scale=321:241,format=gray"
pic std_rgb48.png testsrc2=size=320x240 format=rgb48be
pic std_pal_16x9.png testsrc2=size=320x180 "split[a][b];[a]palettegen[p];[b][p]paletteuse"
pic std_16x9.jpg testsrc2=size=1280x720 format=yuvj420p -c:v mjpeg -q:v 3
pic std_4x3.jpg testsrc2=size=800x600 format=yuvj420p -c:v mjpeg -q:v 3
pic std_huge.png color=c=0x2050A0:size=8000x8000 format=rgb24
if [ ! -s "$dir/std_prog_4x3.jpg" ]; then
  jpegtran -progressive "$dir/std_4x3.jpg" > "$dir/std_prog_4x3.jpg.part"
  mv "$dir/std_prog_4x3.jpg.part" "$dir/std_prog_4x3.jpg"
fi
