/*
 * What the native tests share: a fresh simulated machine per test, the
 * player's texts in code page 932, and the boxes a player would see.
 */
#ifndef WELLHAVEN_TESTS_SUPPORT_H
#define WELLHAVEN_TESTS_SUPPORT_H

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/sim/sim.h"

/* The bytes of a UTF-8 text in code page 932, as the program must hold them. */
std::string Cp932(const std::string &utf8);

/* A box as the player reads it: text and caption in UTF-8, hasCaption
 * false for the system's default caption. */
struct ExpectedBox {
    std::string text;
    bool hasCaption;
    std::string caption;
    unsigned flags;
};
/* The question and the up-to-date box of an edition (0 to 7), and the
 * completion box, as tests/boxes.txt gives them. */
ExpectedBox QuestionBox(int edition);
ExpectedBox UpToDateBox(int edition);
ExpectedBox CompletedBox();
/* The error box of a code, E001 to E509, as docs/errors.md gives it, naming
 * fileName where the guide's box names a file. */
ExpectedBox CodeBox(int code, const std::string &fileName = std::string());

/* The CRC-32 the release tools give a file (zlib's). */
DWORD Crc(const std::string &bytes);

/* Asserts that exactly these boxes were shown, in this order, with no owner. */
void ExpectBoxes(const std::vector<ExpectedBox> &expected);

/* The uninstall key the program reads. */
extern const char kUninstallKey[];
/* The install folder the tests use, and the temporary folder a fresh
 * machine has, each with its trailing backslash. */
extern const char kGameDir[];
extern const char kTemp[];
/* A file another program holds is waited for about a second in all, a
 * pause at a time: the promise to players, kept here apart from the
 * program's own numbers. */
const unsigned long long kFullWaitMilliseconds = 1000;

/* What a step leaves in the temporary folder: no scratch file, an empty
 * one, the beginning of the finished file, or all of it. */
enum Scratch { NONE, EMPTY, PART, WHOLE };
/* Asserts that the temporary folder holds what left says of finished. */
void ExpectScratch(Scratch left, const std::string &finished);

class SimTest : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;

    /* Registers kGameDir (or folder) as the game's REG_SZ install location. */
    void Register(const std::string &folder = "C:\\Games\\Wellhaven");
    /* Asserts that the program released every handle, block and resource. */
    void ExpectAllReleased();
};

#endif
