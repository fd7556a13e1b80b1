#include "storage/base64.h"
#include <cstring>

const char base64_alphabet[65] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789_-";

// Decoding table: value 0..63, or -1 for characters outside the alphabet.
static int8_t decode_mapping[256];
static bool last_base64_mode = false;  // decode_mapping is built

static void build_decode_mapping() {
    memset(decode_mapping, -1, sizeof decode_mapping);
    for (int i = 0; i < 64; i++) decode_mapping[(uint8_t)base64_alphabet[i]] = (int8_t)i;
    last_base64_mode = true;
}

void base64_init_encodestate(Base64EncodeState* s) {
    s->step = 0;
    s->partial = 0;
}

int64_t base64_encode_block(const uint8_t* bytes, int64_t n, char* out, Base64EncodeState* s) {
    char* o = out;
    for (int64_t i = 0; i < n; i++) {
        uint8_t c = bytes[i];
        switch (s->step) {
        case 0:
            *o++ = base64_alphabet[c >> 2];
            s->partial = (uint8_t)((c & 0x03) << 4);
            s->step = 1;
            break;
        case 1:
            *o++ = base64_alphabet[s->partial | (c >> 4)];
            s->partial = (uint8_t)((c & 0x0f) << 2);
            s->step = 2;
            break;
        default:
            *o++ = base64_alphabet[s->partial | (c >> 6)];
            *o++ = base64_alphabet[c & 0x3f];
            s->partial = 0;
            s->step = 0;
            break;
        }
    }
    return o - out;
}

int64_t base64_encode_blockend(char* out, Base64EncodeState* s) {
    char* o = out;
    if (s->step == 1) {
        *o++ = base64_alphabet[s->partial];
        *o++ = '=';
        *o++ = '=';
    } else if (s->step == 2) {
        *o++ = base64_alphabet[s->partial];
        *o++ = '=';
    }
    s->step = 0;
    s->partial = 0;
    return o - out;
}

void base64_init_decodestate(Base64DecodeState* s) {
    if (!last_base64_mode) build_decode_mapping();
    s->step = 0;
    s->partial = 0;
}

int64_t base64_decode_block(const char* chars, int64_t n, uint8_t* out, Base64DecodeState* s) {
    if (!last_base64_mode) build_decode_mapping();
    uint8_t* o = out;
    for (int64_t i = 0; i < n; i++) {
        int v = decode_mapping[(uint8_t)chars[i]];
        if (v < 0) continue;
        switch (s->step) {
        case 0:
            s->partial = (uint8_t)(v << 2);
            s->step = 1;
            break;
        case 1:
            *o++ = (uint8_t)(s->partial | (v >> 4));
            s->partial = (uint8_t)((v & 0x0f) << 4);
            s->step = 2;
            break;
        case 2:
            *o++ = (uint8_t)(s->partial | (v >> 2));
            s->partial = (uint8_t)((v & 0x03) << 6);
            s->step = 3;
            break;
        default:
            *o++ = (uint8_t)(s->partial | v);
            s->partial = 0;
            s->step = 0;
            break;
        }
    }
    return o - out;
}

int64_t base64_encoded_length(int64_t n) { return n <= 0 ? 0 : (n + 2) / 3 * 4; }

bool base64_encode_append(ByteBuffer* out, const void* bytes, int64_t n) {
    if (n < 0) n = 0;
    int64_t need = (int64_t)out->length + base64_encoded_length(n);
    if (n > BUFFER_MAX_LENGTH || need > BUFFER_MAX_LENGTH || !ballocate(out, need)) return false;
    Base64EncodeState s;
    base64_init_encodestate(&s);
    char* dst = (char*)out->bytes + out->length;
    int64_t w = base64_encode_block((const uint8_t*)bytes, n, dst, &s);
    w += base64_encode_blockend(dst + w, &s);
    out->length += (int32_t)w;
    out->cursor = out->length;
    out->bytes[out->length] = 0;
    return true;
}

bool base64_decode_append(ByteBuffer* out, const char* chars, int64_t n) {
    if (n < 0) n = 0;
    int64_t need = (int64_t)out->length + n / 4 * 3 + 3;
    if (n > BUFFER_MAX_LENGTH || need > BUFFER_MAX_LENGTH || !ballocate(out, need)) return false;
    Base64DecodeState s;
    base64_init_decodestate(&s);
    int64_t w = base64_decode_block(chars, n, out->bytes + out->length, &s);
    out->length += (int32_t)w;
    out->cursor = out->length;
    out->bytes[out->length] = 0;
    return true;
}
