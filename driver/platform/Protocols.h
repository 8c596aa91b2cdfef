// GUIDs of the firmware protocols the driver looks up, and the layouts of the
// platform protocols it calls.
#pragma once

#include "Uefi.h"

constexpr EFI_GUID EFI_SMM_BASE2_PROTOCOL_GUID = {
    0xF4CCBFB7, 0xF6E0, 0x47FD, {0x9D, 0xD4, 0x10, 0xA8, 0xF1, 0x50, 0xC1, 0x91}};
constexpr EFI_GUID EFI_SMM_ACCESS2_PROTOCOL_GUID = {
    0xC2702B74, 0x800C, 0x4131, {0x87, 0x46, 0x8F, 0xB5, 0xB8, 0x9C, 0xE4, 0xAC}};
constexpr EFI_GUID PCD_PROTOCOL_GUID = {0x11B34006, 0xD85B, 0x4D0A, {0xA2, 0x90, 0xD5, 0xA5, 0x71, 0x31, 0x0E, 0xF7}};
constexpr EFI_GUID EFI_PCD_PROTOCOL_GUID = {
    0x13A3F0F6, 0x264A, 0x3EF0, {0xF2, 0xE0, 0xDE, 0xC5, 0x12, 0x34, 0x2F, 0x34}};
constexpr EFI_GUID EFI_SMM_SW_DISPATCH2_PROTOCOL_GUID = {
    0x18A3C6DC, 0x5EEA, 0x48C8, {0xA1, 0xC1, 0xB5, 0x33, 0x89, 0xF9, 0x89, 0x99}};
constexpr EFI_GUID EFI_SMM_CPU_PROTOCOL_GUID = {
    0xEB346B97, 0x975F, 0x4A9F, {0x8B, 0x22, 0xF8, 0xE9, 0x2B, 0xB3, 0xD5, 0x69}};
constexpr EFI_GUID SMM_BUFFER_VALIDATION_PROTOCOL_GUID = {
    0xDA473D7F, 0x4B31, 0x4D63, {0x92, 0xB7, 0x3D, 0x90, 0x5E, 0xF8, 0x4B, 0x84}};
constexpr EFI_GUID FORWARDED_SERVICE_PROTOCOL_GUID = {
    0x3BF4AF16, 0xAB7C, 0x4B43, {0x89, 0x8D, 0xAB, 0x26, 0xAC, 0x5D, 0xDC, 0x6C}};
constexpr EFI_GUID SPI_MAILBOX_PROTOCOL_GUID = {
    0x4A9C5084, 0xC8AF, 0x403C, {0x99, 0x31, 0x63, 0xC9, 0x36, 0x90, 0xEC, 0xB3}};
constexpr EFI_GUID ROM_ARMOR_FLASH_PROTOCOL_GUID = {
    0xAAB18F19, 0xFE14, 0x4666, {0x86, 0x04, 0x87, 0xFF, 0x6D, 0x66, 0x2C, 0x9A}};
constexpr EFI_GUID HEAP_LIST_PROTOCOL_GUID = {
    0xAF62673D, 0xDEDA, 0x43AE, {0x8F, 0x03, 0x9C, 0x2D, 0x89, 0xFD, 0x78, 0xDA}};
constexpr EFI_GUID EFI_HOB_LIST_GUID = {0x7739F24C, 0x93D7, 0x11D4, {0x9A, 0x3A, 0x00, 0x90, 0x27, 0x3F, 0xC1, 0x4D}};

// First slot: may the driver touch [Address, Address + Size)? An error status
// means the range must not be touched.
typedef EFI_STATUS(EFIAPI *SMM_VALIDATE_BUFFER)(IN UINT64 Address, IN UINT64 Size);
struct SMM_BUFFER_VALIDATION_PROTOCOL {
  SMM_VALIDATE_BUFFER ValidateBuffer;
};

// The platform's service that "$GB1" requests reach: three slots, each taking
// the caller's data address widened to 64 bits.
typedef EFI_STATUS(EFIAPI *FORWARDED_SERVICE_FN)(IN UINT64 DataAddress);
struct FORWARDED_SERVICE_PROTOCOL {
  FORWARDED_SERVICE_FN Slot[3];
};
static_assert(sizeof(FORWARDED_SERVICE_PROTOCOL) == 24);

// SPI mailbox command buffer, 324 bytes.
constexpr UINT32 SPI_MAILBOX_DATA_SIZE = 312;
struct SPI_MAILBOX_COMMAND {
  UINT8 StartFlag;
  UINT8 One;
  UINT8 CompletionCode;
  UINT8 Zero;
  UINT16 Version;
  UINT8 TxCount;
  UINT8 RxCount;
  UINT8 Opcode;
  UINT8 Reserved[3];
  UINT8 Data[SPI_MAILBOX_DATA_SIZE];
};
static_assert(sizeof(SPI_MAILBOX_COMMAND) == 324);
static_assert(OFFSET_OF(SPI_MAILBOX_COMMAND, CompletionCode) == 0x02);
static_assert(OFFSET_OF(SPI_MAILBOX_COMMAND, Version) == 0x04);
static_assert(OFFSET_OF(SPI_MAILBOX_COMMAND, TxCount) == 0x06);
static_assert(OFFSET_OF(SPI_MAILBOX_COMMAND, RxCount) == 0x07);
static_assert(OFFSET_OF(SPI_MAILBOX_COMMAND, Opcode) == 0x08);
static_assert(OFFSET_OF(SPI_MAILBOX_COMMAND, Data) == 0x0C);

typedef EFI_STATUS(EFIAPI *SPI_MAILBOX_EXECUTE)();
struct SPI_MAILBOX_PROTOCOL {
  UINT8 Reserved0[0x10];
  SPI_MAILBOX_EXECUTE Execute;
  UINT8 Reserved1[0x08];
  SPI_MAILBOX_COMMAND Command;
  UINT8 Enable;
};
static_assert(OFFSET_OF(SPI_MAILBOX_PROTOCOL, Execute) == 0x10);
static_assert(OFFSET_OF(SPI_MAILBOX_PROTOCOL, Command) == 0x20);
static_assert(OFFSET_OF(SPI_MAILBOX_PROTOCOL, Enable) == 0x164);
