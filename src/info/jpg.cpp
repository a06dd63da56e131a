/*
** The JPEG reader of the info text: the EXIF block near the start of the
** file, walked in 12-byte strides as image file directory entries, gives the
** camera make and model, dates, orientation, pixel dimensions, the Windows
** title, comment, author, keywords and subject, the user comment and maker
** note, and a "NAME:?" line for every other tag it knows.  JPEG markers are
** not walked.  Every read stays inside the bytes really read.
*/
#include "global.h"
#include "info/info.h"

#include "subs/files.h"
#include "subs/text.h"
#include "subs/threads.h"
#include "subs/trace.h"

#define JPG_WIN    10000    /* the one window read from the start */
#define EXIF_SCAN  20       /* "Exif\0" is looked for at offsets 0 to 19 */
#define ENTRY      12       /* one directory entry */

#define TAG_EXIF_IFD 0x8769 /* pointer to the EXIF sub-directory */
#define TAG_PADDING  0xEA1C /* the padding entry Windows adds */

/* Tags that write a value line, and how their value is read. */
enum value_kind { TEXT_AT, SHORT_LOW, OFFSET_NUM, WIN_TEXT_AT };
static const struct {
    unsigned tag;
    const char *key;
    value_kind kind;
} values[] = {
    {0x010F, "make", TEXT_AT},         {0x0110, "model", TEXT_AT},
    {0x0131, "software", TEXT_AT},     {0x0132, "date", TEXT_AT},
    {0x0112, "orientation", SHORT_LOW}, {0xA002, "width", OFFSET_NUM},
    {0xA003, "height", OFFSET_NUM},    {0x9286, "USER_COMMENT", TEXT_AT},
    {0x927C, "MAKER_NOTE", TEXT_AT},   {0x9C9B, "title", WIN_TEXT_AT},
    {0x9C9C, "comment", WIN_TEXT_AT},  {0x9C9D, "author", WIN_TEXT_AT},
    {0x9C9E, "keywords", WIN_TEXT_AT}, {0x9C9F, "subject", WIN_TEXT_AT},
};

/* Tags that are only named: each writes "NAME:?". */
static const struct {
    unsigned tag;
    const char *name;
} named[] = {
    {0x0001, "INTEROPERABILITY_INDEX"},
    {0x0002, "INTEROPERABILITY_VERSION"},
    {0x00FE, "NEW_SUBFILE_TYPE"},
    {0x0100, "IMAGE_WIDTH"},
    {0x0101, "IMAGE_LENGTH"},
    {0x0102, "BITS_PER_SAMPLE"},
    {0x0103, "COMPRESSION"},
    {0x0106, "PHOTOMETRIC_INTERPRETATION"},
    {0x010A, "FILL_ORDER"},
    {0x010D, "DOCUMENT_NAME"},
    {0x010E, "IMAGE_DESCRIPTION"},
    {0x0111, "STRIP_OFFSETS"},
    {0x0115, "SAMPLES_PER_PIXEL"},
    {0x0116, "ROWS_PER_STRIP"},
    {0x0117, "STRIP_BYTE_COUNTS"},
    {0x011A, "X_RESOLUTION"},
    {0x011B, "Y_RESOLUTION"},
    {0x011C, "PLANAR_CONFIGURATION"},
    {0x0128, "RESOLUTION_UNIT"},
    {0x012D, "TRANSFER_FUNCTION"},
    {0x013B, "ARTIST"},
    {0x013E, "WHITE_POINT"},
    {0x013F, "PRIMARY_CHROMATICITIES"},
    {0x014A, "SUB_IFDS"},
    {0x0156, "TRANSFER_RANGE"},
    {0x0200, "JPEG_PROC"},
    {0x0201, "JPEG_INTERCHANGE_FORMAT"},
    {0x0202, "JPEG_INTERCHANGE_FORMAT_LENGTH"},
    {0x0211, "YCBCR_COEFFICIENTS"},
    {0x0212, "YCBCR_SUB_SAMPLING"},
    {0x0213, "YCBCR_POSITIONING"},
    {0x0214, "REFERENCE_BLACK_WHITE"},
    {0x02BC, "XML_PACKET"},
    {0x1000, "RELATED_IMAGE_FILE_FORMAT"},
    {0x1001, "RELATED_IMAGE_WIDTH"},
    {0x1002, "RELATED_IMAGE_LENGTH"},
    {0x828D, "CFA_REPEAT_PATTERN_DIM"},
    {0x828E, "CFA_PATTERN"},
    {0x828F, "BATTERY_LEVEL"},
    {0x8298, "COPYRIGHT"},
    {0x829A, "EXPOSURE_TIME"},
    {0x829D, "FNUMBER"},
    {0x83BB, "IPTC_NAA"},
    {0x8649, "IMAGE_RESOURCES"},
    {0x8773, "COLOR_PROFILE"},
    {0x8822, "EXPOSURE_PROGRAM"},
    {0x8824, "SPECTRAL_SENSITIVITY"},
    {0x8825, "INFO_IFD_POINTER"},
    {0x8827, "ISO_SPEED_RATINGS"},
    {0x8828, "OECF"},
    {0x882A, "TIME_ZONE_OFFSET"},
    {0x9000, "VERSION"},
    {0x9003, "DATE_TIME_ORIGINAL"},
    {0x9004, "DATE_TIME_DIGITIZED"},
    {0x9101, "COMPONENTS_CONFIGURATION"},
    {0x9102, "COMPRESSED_BITS_PER_PIXEL"},
    {0x9201, "SHUTTER_SPEED_VALUE"},
    {0x9202, "APERTURE_VALUE"},
    {0x9203, "BRIGHTNESS_VALUE"},
    {0x9204, "EXPOSURE_BIAS_VALUE"},
    {0x9205, "MAX_APERTURE_VALUE"},
    {0x9206, "SUBJECT_DISTANCE"},
    {0x9207, "METERING_MODE"},
    {0x9208, "LIGHT_SOURCE"},
    {0x9209, "FLASH"},
    {0x920A, "FOCAL_LENGTH"},
    {0x9214, "SUBJECT_AREA"},
    {0x9216, "EP_STANDARD_ID"},
    {0x9290, "SUB_SEC_TIME"},
    {0x9291, "SUB_SEC_TIME_ORIGINAL"},
    {0x9292, "SUB_SEC_TIME_DIGITIZED"},
    {0xA000, "PIX_VERSION"},
    {0xA001, "COLOR_SPACE"},
    {0xA004, "RELATED_SOUND_FILE"},
    {0xA005, "INTEROPERABILITY_IFD_POINTER"},
    {0xA20B, "FLASH_ENERGY"},
    {0xA20C, "SPATIAL_FREQUENCY_RESPONSE"},
    {0xA20E, "FOCAL_PLANE_X_RESOLUTION"},
    {0xA20F, "FOCAL_PLANE_Y_RESOLUTION"},
    {0xA210, "FOCAL_PLANE_RESOLUTION_UNIT"},
    {0xA214, "SUBJECT_LOCATION"},
    {0xA215, "EXPOSURE_INDEX"},
    {0xA217, "SENSING_METHOD"},
    {0xA300, "FILE_SOURCE"},
    {0xA301, "SCENE_TYPE"},
    {0xA302, "NEW_CFA_PATTERN"},
    {0xA401, "CUSTOM_RENDERED"},
    {0xA402, "EXPOSURE_MODE"},
    {0xA403, "WHITE_BALANCE"},
    {0xA404, "DIGITAL_ZOOM_RATIO"},
    {0xA405, "FOCAL_LENGTH_IN_35MM_FILM"},
    {0xA406, "SCENE_CAPTURE_TYPE"},
    {0xA407, "GAIN_CONTROL"},
    {0xA408, "CONTRAST"},
    {0xA409, "SATURATION"},
    {0xA40A, "SHARPNESS"},
    {0xA40B, "DEVICE_SETTING_DESCRIPTION"},
    {0xA40C, "SUBJECT_DISTANCE_RANGE"},
    {0xA420, "IMAGE_UNIQUE_ID"},
    {0xA500, "GAMMA"},
    {0xC4A5, "PRINT_IMAGE_MATCHING"},
};

/* Offset of "Exif" and a zero byte within the first EXIF_SCAN offsets of
** the len bytes of buf, or -1. */
static long find_exif(const unsigned char *buf, long len)
{
    for (long e = 0; e < EXIF_SCAN && e + 5 <= len; e++)
        if (buf[e] == 'E' && memcmp(buf + e, "Exif", 5) == 0)
            return e;
    return -1;
}

/* Writes the line of one value tag for the entry ent, whose value lies at
** window offset v (len bytes read, buf[len] a zero byte). */
static void value_line(FILE *out, int k, const unsigned char *ent, unsigned char *buf, long len, long v)
{
    const char *key = values[k].key;
    switch (values[k].kind) {
    case SHORT_LOW:
        /* The low byte of the 16-bit value at bytes 8 and 9. */
        fprintf(out, "%s:%d\n", key, (int)ent[9]);
        return;
    case OFFSET_NUM:
        /* The low half of the 32-bit field: right for a LONG, 0 for a SHORT
        ** stored big-endian in the high half. */
        fprintf(out, "%s:%d\n", key, (int)char2int(ent + 10, 2));
        return;
    case WIN_TEXT_AT:
        if (v >= len)
            return;
        /* UCS-2 little-endian narrowed in place over at most the low byte
        ** of the count: the window itself changes, as later entries that
        ** point here will see. */
        {
            long n = ent[7];
            if (n > len - v)
                n = len - v;
            pack((char *)buf + v, (int)n);
        }
        fprintf(out, "%s:%s\n", key, (const char *)buf + v);
        return;
    case TEXT_AT:
        /* The text to its first zero byte; the zero after the window ends
        ** a text that runs to its edge.  A user comment's character-code
        ** field is part of the text. */
        if (v >= len)
            return;
        fprintf(out, "%s:%s\n", key, (const char *)buf + v);
        return;
    }
}

/* Acts on the entry ent of tag: a value line, a "NAME:?" line, or a trace
** for a tag not known. */
static void entry_line(FILE *out, unsigned tag, const unsigned char *ent, unsigned char *buf, long len, long v)
{
    for (int k = 0; k < (int)(sizeof values / sizeof values[0]); k++)
        if (values[k].tag == tag) {
            value_line(out, k, ent, buf, len, v);
            return;
        }
    for (const auto &t : named)
        if (t.tag == tag) {
            fprintf(out, "%s:?\n", t.name);
            return;
        }
    Dump("Unknown Exif tag", ent, ENTRY);
}

int info_jpg(FILE *in, FILE *out, int64_t sz)
{
    WALK("info_jpg");
    unsigned char buf[JPG_WIN + 1];
    /* The window is the start of the file, wherever a reader run before
    ** this one left the position. */
    long len = info_read_at(in, 0, buf, JPG_WIN, sz);
    buf[len] = 0;

    long e = find_exif(buf, len);
    if (e < 0)
        return 0;

    /* Offsets count from the TIFF header; all fields are read big-endian
    ** whatever its byte-order mark says. */
    const long base = e + 6;
    /* The first stride starts 2 bytes early, inside the identifier, so it
    ** takes the TIFF header and IFD0's entry count as an entry of tag 0 and
    ** the second lands on IFD0's first entry. */
    long pos = e + 4;
    long saved = -1;
    int entered = 0;

    /* The walk reads no entry counts or next-directory offsets.  pos only
    ** grows, except for the one jump into the EXIF sub-directory and the one
    ** return from it, so the walk ends. */
    while (pos < len) {
        unsigned char ent[ENTRY] = {0};
        /* An entry cut off by the end of the window reads zeros there. */
        memcpy(ent, buf + pos, (size_t)(len - pos < ENTRY ? len - pos : ENTRY));
        unsigned tag = char2int(ent, 2);
        long v = base + (long)char2int(ent + 10, 2);

        if (tag == TAG_EXIF_IFD && !entered) {
            /* Into the sub-directory, past its 2-byte entry count.  Only the
            ** first pointer is followed: a second one (a damaged or looping
            ** block) is stepped over like a tag without a line. */
            entered = 1;
            saved = pos;
            pos = v + 2;
            continue;
        }
        if (tag == TAG_EXIF_IFD) {
            pos += ENTRY;
            continue;
        }
        if (tag == TAG_PADDING) {
            /* Windows pads each directory at its end: from the sub-directory
            ** back to the IFD0 entry after the pointer. */
            pos = saved >= 0 ? saved + ENTRY : pos + ENTRY;
            saved = -1;
            continue;
        }
        entry_line(out, tag, ent, buf, len, v);
        pos += ENTRY;
    }
    return 0;
}
