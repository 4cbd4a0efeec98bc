// Counted strings and list helpers.
#include "tests/support/kernel_fixture.h"

namespace {

class RtlTest : public KernelTest {};

TEST_F(RtlTest, UnicodeToAnsiAndBackKeepsAsciiAndMarksTheRest) {
  UNICODE_STRING wide;
  RtlInitUnicodeString(&wide, u"HOST-1\u00e9");
  EXPECT_EQ(wide.Length, 14);
  ANSI_STRING narrow;
  ASSERT_EQ(RtlUnicodeStringToAnsiString(&narrow, &wide, TRUE), STATUS_SUCCESS);
  EXPECT_STREQ(narrow.Buffer, "HOST-1?");
  UNICODE_STRING back;
  ASSERT_EQ(RtlAnsiStringToUnicodeString(&back, &narrow, TRUE), STATUS_SUCCESS);
  UNICODE_STRING expected;
  RtlInitUnicodeString(&expected, u"host-1?");
  EXPECT_TRUE(RtlEqualUnicodeString(&back, &expected, TRUE));
  EXPECT_FALSE(RtlEqualUnicodeString(&back, &expected, FALSE));
  RtlFreeAnsiString(&narrow);
  RtlFreeUnicodeString(&back);

  char small[4];
  ANSI_STRING fixed{0, sizeof small, small};
  EXPECT_EQ(RtlUnicodeStringToAnsiString(&fixed, &wide, FALSE), STATUS_BUFFER_OVERFLOW);
}

TEST_F(RtlTest, AppendRefusesToOverflow) {
  WCHAR storage[8];
  UNICODE_STRING s{0, sizeof storage, storage};
  EXPECT_EQ(RtlAppendUnicodeToString(&s, u"\\Dev"), STATUS_SUCCESS);
  EXPECT_EQ(RtlAppendUnicodeToString(&s, u"ice"), STATUS_SUCCESS);
  EXPECT_EQ(RtlAppendUnicodeToString(&s, u"\\x"), STATUS_BUFFER_TOO_SMALL);
  EXPECT_EQ(s.Length, 14);
}

TEST_F(RtlTest, ListHelpersKeepOrder) {
  struct Node {
    LIST_ENTRY link;
    int value;
  };
  LIST_ENTRY head;
  InitializeListHead(&head);
  Node n[3] = {{{}, 1}, {{}, 2}, {{}, 3}};
  InsertTailList(&head, &n[1].link);
  InsertHeadList(&head, &n[0].link);
  InsertTailList(&head, &n[2].link);
  EXPECT_EQ(CONTAINING_RECORD(RemoveHeadList(&head), Node, link)->value, 1);
  EXPECT_EQ(CONTAINING_RECORD(RemoveTailList(&head), Node, link)->value, 3);
  EXPECT_FALSE(IsListEmpty(&head));
  EXPECT_TRUE(RemoveEntryList(&n[1].link));
  EXPECT_TRUE(IsListEmpty(&head));
}

TEST_F(RtlTest, InterlockedOperationsReturnWindowsValues) {
  LONG v = 5;
  EXPECT_EQ(InterlockedIncrement(&v), 6);
  EXPECT_EQ(InterlockedExchangeAdd(&v, 4), 6);
  EXPECT_EQ(InterlockedCompareExchange(&v, 1, 10), 10);
  EXPECT_EQ(v, 1);
  EXPECT_EQ(InterlockedCompareExchange(&v, 7, 10), 1);
  EXPECT_EQ(v, 1);
  LONG64 w = 0;
  EXPECT_EQ(InterlockedOr64(&w, 0x100000000LL), 0);
  EXPECT_EQ(InterlockedDecrement64(&w), 0xFFFFFFFFLL);
}

}  // namespace
