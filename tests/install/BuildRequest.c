// SPDX-License-Identifier: BSD-3-Clause
/* A normal-world program built against the installed protocol header alone: it builds a secure
 * write request in a communication buffer and checks what the header says about it. Compiled as
 * strict C99; exits 0 when every check holds. */
#include <stdio.h>
#include <string.h>

#include <VarnelMm/Protocol.h>

static int Failures = 0;

static void Check(int Holds, const char *What) {
  if (!Holds) {
    printf("FAILED: %s\n", What);
    ++Failures;
  }
}

int main(void) {
  uint64_t Buffer[VARNELMM_RECORD_WORDS];
  VARNELMM_COMM_RECORD Record;
  const VARNELMM_GUID Guid = VARNELMM_GUID_INITIALIZER;
  static const uint8_t GuidBytes[16] = {0x38, 0x64, 0xD7, 0xC8, 0x3C, 0x4D, 0xEA, 0x4B,
                                        0xBF, 0x86, 0x92, 0x6B, 0x83, 0x07, 0xA2, 0x39};
  const uint8_t *Bytes = (const uint8_t *)Buffer;

  memset(&Record, 0, sizeof(Record));
  Record.FunctionId = VarnelMmFunctionSecureWrite;
  Record.Offset = VARNELMM_FLASH_WINDOW_BASE + 0x2F0000;
  Record.Length = 0x1000;
  Record.Buffer = 0x80000000;
  Record.AuthInfoLong = 0x5EED;
  memcpy(Buffer, &Record, sizeof(Buffer));

  Check(Buffer[0] == 10 && Buffer[1] == 0x91CF0000 && Buffer[5] == 0x5EED, "record words");
  /* The host is little-endian, as the record is. */
  Check(Bytes[0] == 10 && Bytes[8] == 0x00 && Bytes[10] == 0xCF && Bytes[40] == 0xED,
        "record bytes");
  Check(VARNELMM_SIGNED_PART_LONG == 5 * sizeof(uint64_t), "signed part of a secure write");
  Check(memcmp(&Guid, GuidBytes, sizeof(GuidBytes)) == 0, "GUID bytes");
  Check(strcmp(VarnelMmFunctionName(Record.FunctionId), "SpiNorSecureWrite") == 0, "branch name");
  Check(VarnelMmFunctionName(VarnelMmHighestFunction + 1) == NULL, "no name above 14");
  Check(VarnelMmSubSecureWrite == 10 && VarnelMmSubAuthenticate == 7, "sub-commands");
  Check(VARNELMM_FLASH_SERVICE_ID == 0xC4000070 && VARNELMM_TRANSLATE_ADDRESS_ID == 0xC200FFF1,
        "service identifiers");

  /* The answer a refused permission leaves behind. */
  Buffer[0] = VARNELMM_STATUS_NO_PERMISSION;
  Check(VARNELMM_IS_STATUS_WORD_FORM(Buffer[0]), "status word form");
  Check(strcmp(VarnelMmStatusWordName(Buffer[0]), "no write permission") == 0, "status meaning");
  Check(VarnelMmStatusWordName(0xAABBCC02) == NULL, "no meaning for other words");
  Check(strcmp(VarnelMmEfiStatusName(VARNELMM_EFI_DEVICE_ERROR), "EFI_DEVICE_ERROR") == 0 &&
            VARNELMM_EFI_DEVICE_ERROR == 0x8000000000000007ULL,
        "UEFI status name and value");

  printf("%s: %d failed checks\n", Failures == 0 ? "PASSED" : "FAILED", Failures);
  return Failures == 0 ? 0 : 1;
}
