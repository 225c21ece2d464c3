#include "Quillmere/cabinet/Blowfish.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

namespace Cabinet {
namespace {

using Bytes = std::vector<BYTE>;

Bytes FromHex(const std::string& hex) {
    Bytes out;
    for (std::size_t i = 0; i + 1 < hex.size(); i += 2) {
        out.push_back(static_cast<BYTE>(std::stoul(hex.substr(i, 2), nullptr, 16)));
    }
    return out;
}

// The published vectors are big-endian per 32-bit half; the file format reads
// each half little-endian, so its block is the vector with each half reversed.
Bytes ToFileOrder(const Bytes& bigEndian) {
    return Bytes{bigEndian[3], bigEndian[2], bigEndian[1], bigEndian[0],
                 bigEndian[7], bigEndian[6], bigEndian[5], bigEndian[4]};
}

struct Vector {
    const char* key;
    const char* plain;
    const char* cipher;
};

// Reference vectors of the algorithm's published test set.
constexpr Vector kVectors[] = {
    {"0000000000000000", "0000000000000000", "4EF997456198DD78"},
    {"FFFFFFFFFFFFFFFF", "FFFFFFFFFFFFFFFF", "51866FD5B85ECB8A"},
    {"3000000000000000", "1000000000000001", "7D856F9A613063F2"},
    {"1111111111111111", "1111111111111111", "2466DD878B963C9D"},
    {"0123456789ABCDEF", "1111111111111111", "61F9C3802281B096"},
    {"1111111111111111", "0123456789ABCDEF", "7D0CC630AFDA1EC7"},
    {"FEDCBA9876543210", "0123456789ABCDEF", "0ACEAB0FC6A0A28D"},
    {"7CA110454A1A6E57", "01A1D6D039776742", "59C68245EB05282B"},
    // Variable key lengths: 1 and 24 bytes.
    {"F0", "FEDCBA9876543210", "F9AD597C49DB005E"},
    {"F0E1D2C3B4A5968778695A4B3C2D1E0F0011223344556677", "FEDCBA9876543210", "05044B62FA52D080"},
};

TEST(BlowfishTest, ReferenceVectorsInFileByteOrder) {
    for (const auto& v : kVectors) {
        SCOPED_TRACE(v.key);
        Bytes key = FromHex(v.key);
        CBlowfish cipher;
        ASSERT_TRUE(cipher.SetKey(key.data(), static_cast<DWORD>(key.size())));
        Bytes block = ToFileOrder(FromHex(v.plain));
        cipher.EncryptBlock(block.data());
        EXPECT_EQ(block, ToFileOrder(FromHex(v.cipher)));
        cipher.DecryptBlock(block.data());
        EXPECT_EQ(block, ToFileOrder(FromHex(v.plain)));
    }
}

// Keys set one after another on one thread, each again at once and again
// after others (a writer and a reader per mail set the same key): every
// object encrypts as the reference says.
TEST(BlowfishTest, KeysSetAgainAndInTurnScheduleAsTheFirstTime) {
    std::vector<const Vector*> order;
    for (const auto& v : kVectors) {
        order.push_back(&v);
        order.push_back(&v);
    }
    for (auto it = std::rbegin(kVectors); it != std::rend(kVectors); ++it) {
        order.push_back(&*it);
    }
    for (const Vector* v : order) {
        SCOPED_TRACE(v->key);
        Bytes key = FromHex(v->key);
        CBlowfish cipher;
        ASSERT_TRUE(cipher.SetKey(key.data(), static_cast<DWORD>(key.size())));
        Bytes block = ToFileOrder(FromHex(v->plain));
        cipher.EncryptBlock(block.data());
        EXPECT_EQ(block, ToFileOrder(FromHex(v->cipher)));
    }
    // One key, then its first byte alone: the cycled bytes differ.
    const BYTE longKey[] = {0xF0, 0xE1};
    const BYTE shortKey[] = {0xF0};
    CBlowfish first;
    CBlowfish second;
    ASSERT_TRUE(first.SetKey(longKey, 2));
    ASSERT_TRUE(second.SetKey(shortKey, 1));
    Bytes block = ToFileOrder(FromHex("FEDCBA9876543210"));
    second.EncryptBlock(block.data());
    EXPECT_EQ(block, ToFileOrder(FromHex("F9AD597C49DB005E")));
}

TEST(BlowfishTest, BigEndianBlockOrderIsNotWhatTheFileUses) {
    Bytes key = FromHex("0000000000000000");
    CBlowfish cipher;
    cipher.SetKey(key.data(), 8);
    Bytes block = FromHex("0123456789ABCDEF");
    Bytes swapped = ToFileOrder(block);
    cipher.EncryptBlock(block.data());
    cipher.EncryptBlock(swapped.data());
    EXPECT_NE(ToFileOrder(block), swapped);
}

TEST(BlowfishTest, EmptyKeySetsNothing) {
    CBlowfish cipher;
    BYTE key[] = {'k'};
    ASSERT_TRUE(cipher.SetKey(key, 1));
    cipher.SetFillIndex(3);
    EXPECT_FALSE(cipher.SetKey(key, 0));
    EXPECT_FALSE(cipher.IsKeySet());
    EXPECT_EQ(cipher.FillIndex(), -1);
    EXPECT_FALSE(cipher.SetKey(nullptr, 5));
}

TEST(BlowfishTest, KeyBytesBeyondThe72ndHaveNoEffect) {
    std::string a(100, 'x');
    std::string b = a;
    b[80] = 'y';
    std::string c = a;
    c[71] = 'y';
    auto encrypt = [](const std::string& key) {
        CBlowfish cipher;
        cipher.SetKey(reinterpret_cast<const BYTE*>(key.data()), static_cast<DWORD>(key.size()));
        Bytes block(8, 0x42);
        cipher.EncryptBlock(block.data());
        return block;
    };
    EXPECT_EQ(encrypt(a), encrypt(b));
    EXPECT_NE(encrypt(a), encrypt(c));
}

TEST(BlowfishTest, BulkBlocksMatchSingleBlocks) {
    BYTE key[] = {'p', 'w'};
    CBlowfish cipher;
    cipher.SetKey(key, 2);
    Bytes data(64);
    for (std::size_t i = 0; i < data.size(); ++i) {
        data[i] = static_cast<BYTE>(i * 7);
    }
    Bytes single = data;
    for (std::size_t i = 0; i < single.size(); i += 8) {
        cipher.EncryptBlock(single.data() + i);
    }
    Bytes bulk = data;
    cipher.EncryptBlocks(bulk.data(), bulk.size() / 8);
    EXPECT_EQ(bulk, single);
    cipher.DecryptBlocks(bulk.data(), bulk.size() / 8);
    EXPECT_EQ(bulk, data);
}

}  // namespace
}  // namespace Cabinet
