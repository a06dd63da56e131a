#!/bin/sh
# Builds the JPEG fixtures of the info tests in tests/data/jpeg/: 64x48
# gradients made by ImageMagick, tagged by exiftool, and beside the files
# whose EXIF the reader walks the way exiftool does, NAME.oracle with the
# values exiftool reads (make=, model=, orientation=, width=, height=).
#   mm_padded.jpg  EXIF in Motorola order right after the start-of-image
#                  marker, pixel dimensions as LONG, Windows title and
#                  comment, and a padding entry closing each directory
#   mm_short.jpg   the same order without padding, dimensions as SHORT
#   jfif_exif.jpg  a JFIF segment first, the EXIF segment after it
#   ii_exif.jpg    EXIF in Intel order, the tags of mm_padded.jpg
#   plain.jpg      no EXIF at all
# Needs ImageMagick and exiftool (apt-get install -y imagemagick
# libimage-exiftool-perl).  The outputs are committed; run this only to
# remake them.
set -eu

here=$(cd "$(dirname "$0")" && pwd)
out="$here/jpeg"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
mkdir -p "$out"
convert=${CONVERT:-convert}

# exiftool writes the pixel dimensions as SHORT unless told otherwise; this
# makes them LONG, as many cameras write them.
cat > "$work/long.cfg" <<'CFG'
%Image::ExifTool::UserDefined = (
    'Image::ExifTool::Exif::Main' => {
        0xa002 => { Name => 'ExifImageWidth',  Writable => 'int32u', WriteGroup => 'ExifIFD' },
        0xa003 => { Name => 'ExifImageHeight', Writable => 'int32u', WriteGroup => 'ExifIFD' },
    },
);
1;
CFG

# A padding value as Windows writes it: 0x1C 0xEA, then zeros.
printf '\034\352\000\000\000\000\000\000\000\000\000\000\000\000\000\000' > "$work/pad.bin"

et() { exiftool -q -q -overwrite_original "$@"; }

# The image: JFIF as ImageMagick writes it, no other segment.
"$convert" -size 64x48 gradient:navy-orange -strip -quality 70 "$work/base.jpg"
cp "$work/base.jpg" "$out/plain.jpg"

common() {
    # -config must come first on exiftool's command line.
    exiftool -config "$work/long.cfg" -q -q -overwrite_original "-ExifByteOrder=$1" \
       -Make=Velmora -Model="Test Cam 1" -Orientation#=6 \
       -ModifyDate="2024:05:06 07:08:09" -DateTimeOriginal="2024:05:06 07:08:09" \
       -ExifImageWidth=64 -ExifImageHeight=48 \
       -XPTitle="Garden Path" -XPComment="Taken at dusk" \
       "-IFD0:Padding#<=$work/pad.bin" "-ExifIFD:Padding#<=$work/pad.bin" "$2"
}

# Motorola order, the EXIF segment first: JFIF removed before tagging.
cp "$work/base.jpg" "$out/mm_padded.jpg"
et -all= "$out/mm_padded.jpg"
common Big-endian "$out/mm_padded.jpg"

cp "$work/base.jpg" "$out/mm_short.jpg"
et -all= "$out/mm_short.jpg"
et -ExifByteOrder=Big-endian -Make="Other Maker" -Model="Model Two" -Orientation#=3 \
   -Software="Velmora Fixtures" -ExifImageWidth=64 -ExifImageHeight=48 \
   -XPTitle="Never Seen" "$out/mm_short.jpg"

# JFIF kept: exiftool puts the EXIF segment after it.
cp "$work/base.jpg" "$out/jfif_exif.jpg"
common Big-endian "$out/jfif_exif.jpg"

cp "$work/base.jpg" "$out/ii_exif.jpg"
et -all= "$out/ii_exif.jpg"
common Little-endian "$out/ii_exif.jpg"

# The oracles: exiftool's numbers (-n) for the keys the reader should agree
# on.  mm_short.jpg keeps its dimensions out: the reader takes the low half
# of the offset field, where a SHORT written big-endian is not.
oracle() {
    exiftool -n -p "$2" "$out/$1.jpg" > "$out/$1.oracle"
}
oracle mm_padded 'make=$Make
model=$Model
orientation=$Orientation
width=$ExifImageWidth
height=$ExifImageHeight'
oracle mm_short 'make=$Make
model=$Model
orientation=$Orientation'

ls -l "$out"
