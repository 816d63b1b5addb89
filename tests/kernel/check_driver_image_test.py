#!/usr/bin/env python3
"""Tests of check_driver_image.py's look for IRQL-raising code in PAGE, on objdump text as the mingw-w64
objdump prints it for the two architectures (no build needed)."""
import os
import sys
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import check_driver_image as check  # noqa: E402

X64_HEADERS = """The Import Tables (interpreted .idata section contents)
 vma:            Hint    Time      Forward  DLL       First
                 Table   Stamp     Chain    Name      Thunk
 0000a014\t0000a060 00000000 00000000 0000a5d4 0000a200

\tDLL Name: ntoskrnl.exe
\tvma:  Hint/Ord Member-Name Bound-To
\ta2a8\t   65  DbgPrintEx
\ta2b6\t  900  KeAcquireSpinLockRaiseToDpc
\ta2d4\t  920  KeReleaseSpinLock

 00000000\t00000000 00000000 00000000 00000000 00000000
"""

X86_HEADERS = """ 00009000\t00009064 00000000 00000000 000094a8 00009104

\tDLL Name: HAL.dll
\tvma:  Hint/Ord Member-Name Bound-To
\t91a4\t   95  KfAcquireSpinLock
\t91b8\t   98  KfReleaseSpinLock

 00009028\t00009078 00000000 00000000 00009540 00009118

\tDLL Name: ntoskrnl.exe
\tvma:  Hint/Ord Member-Name Bound-To
\t91e4\t   65  DbgPrintEx
\t91f2\t  116  ExAllocatePoolWithTag
"""


def routine(name, *instructions):
    lines = ["0000000000012000 <%s>:" % name]
    for i, text in enumerate(instructions):
        lines.append("   %x:\tff 15 00 00 00 00    \t%s" % (0x12000 + i * 6, text))
    return "\n".join(lines) + "\n"


class ImportSlots(unittest.TestCase):
    def test_each_name_gets_its_slot_in_table_order(self):
        x64 = check.parse_import_slots(X64_HEADERS, 0x10000, 8)
        self.assertEqual(x64[0x1A200], "DbgPrintEx")
        self.assertEqual(x64[0x1A208], "KeAcquireSpinLockRaiseToDpc")
        self.assertEqual(x64[0x1A210], "KeReleaseSpinLock")
        x86 = check.parse_import_slots(X86_HEADERS, 0x10000, 4)
        self.assertEqual(x86[0x19104], "KfAcquireSpinLock")
        self.assertEqual(x86[0x19108], "KfReleaseSpinLock")
        self.assertEqual(x86[0x19118], "DbgPrintEx")
        self.assertEqual(x86[0x1911C], "ExAllocatePoolWithTag")


class IrqlRaisingInPage(unittest.TestCase):
    def setUp(self):
        self.x64 = check.parse_import_slots(X64_HEADERS, 0x10000, 8)
        self.x86 = check.parse_import_slots(X86_HEADERS, 0x10000, 4)

    def test_flagged(self):
        rows = [
            ("x64 direct call", self.x64,
             routine("DispatchPnp", "call   *0x7f66(%rip)        # 1a208 <__imp_KeAcquireSpinLockRaiseToDpc>")),
            ("x64 address loaded into a register, called later", self.x64,
             routine("DispatchPnp", "mov    0x70f9(%rip),%rbp        # 1a208 <__imp_KeAcquireSpinLockRaiseToDpc>",
                     "call   *%rbp")),
            ("x64 inline raise through CR8", self.x64, routine("HandleStop", "mov    %rax,%cr8")),
            ("x86 call through the slot", self.x86, routine("_DispatchPnp@8", "call   *0x19104")),
            ("x86 slot loaded into a register", self.x86, routine("_DispatchPnp@8", "mov    0x19104,%ebp")),
            ("a call to a named raising routine", self.x86,
             routine("_HandleStop", "call   13000 <_KeRaiseIrqlToDpcLevel@0>")),
        ]
        for name, slots, disassembly in rows:
            with self.subTest(name):
                self.assertEqual(len(check.irql_raising_in_page(disassembly, slots)), 1, disassembly)

    def test_not_flagged(self):
        rows = [
            ("x64 other import", self.x64,
             routine("DispatchPnp", "call   *0x7f66(%rip)        # 1a200 <__imp_DbgPrintEx>")),
            ("x64 call of a resident routine", self.x64,
             routine("DispatchPnp", "call   11900 <StopInterruptTransfers(_DEVICE_EXTENSION*)>")),
            ("x64 reading CR8", self.x64, routine("DispatchPnp", "mov    %cr8,%rax")),
            ("x86 other import", self.x86, routine("_DispatchPnp@8", "call   *0x19118")),
            ("x86 constant that is no slot", self.x86, routine("_DispatchPnp@8", "mov    $0x19105,%eax")),
        ]
        for name, slots, disassembly in rows:
            with self.subTest(name):
                self.assertEqual(check.irql_raising_in_page(disassembly, slots), [])


if __name__ == "__main__":
    unittest.main()
