// The PNG card form of cartridges (written only).
#pragma once
#include <cstddef>
#include <cstdint>
#include "kernel/buffer.h"

constexpr int CARD_W = 512, CARD_H = 384;
constexpr int LABEL_W = 480, LABEL_H = 270, LABEL_X = 16, LABEL_Y = 38;
// 11 bits per pixel hold 270,336 bytes; the writer takes a little less.
constexpr int64_t CARD_MAX_ROM = 0x3FFFF;
// Where the title band (2:1) and the subtitle band (1:1) of the label text go.
constexpr int TITLE_X = 80, TITLE_Y = 326, SUBTITLE_X = 80, SUBTITLE_Y = 354;
constexpr const char* CARD_TEMPLATE_PATH = "/system/misc/q64_cart.png";

// Writes the bits of rom (least significant first) into the low bits of the
// card's RGBA bytes: 3 bits each of R, G and B, 2 of A; 0 after the last byte.
void hide_rom_in_card(uint8_t* card, const uint8_t* rom, size_t n);

// Prepares the label-text bitmap and the process that prints into it, once.
void init_label_proc();
// Prints the title, and version and author, of a cartridge's .info.orb text
// into the label-text bitmap (178 x 20) for the card being written.
void extract_label_text(const ByteBuffer* info);
