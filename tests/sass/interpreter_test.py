"""Tests of the instruction semantics in scripts/sass-profile: short SASS programs written here, run for one
warp, and the values they leave. Wrong integer semantics would send the count down the wrong branch, so
each case pins an instruction form the compiler uses for indices, addresses and loop bounds. Needs only
Python 3.

    python3 interpreter_test.py --script scripts/sass-profile
"""

import argparse
import sys
import unittest
from importlib.machinery import SourceFileLoader

ARGS = None
tool = None

MASK32 = 0xFFFFFFFF


class Program:
    """Runs SASS lines (addresses assigned 16 apart, an EXIT appended) for one warp of 32 threads."""

    def __init__(self, lines, params=(), block=(32, 1, 1), jump_tables=None):
        fn = tool.Function("test")
        fn.code = [(16 * i, text) for i, text in enumerate(list(lines) + ["EXIT"])]
        fn.jump_tables = jump_tables or {}
        fn.param_base = 0x210
        for ordinal, _ in enumerate(params):
            fn.params[ordinal] = (4 * ordinal, 4)
        self.launch = tool.Launch(block, (1, 1, 1), (0, 0, 0))
        for ordinal, value in enumerate(params):
            self.launch.set_param(fn, ordinal, value)
        self.executor = tool.Executor(fn, self.launch)
        self.warp = tool.Warp(0, self.launch)
        self.executor.run_warp(self.warp)

    def r(self, name, lane=0):
        return self.warp.r(name, lane)

    def r64(self, name, lane=0):
        lo, hi = self.warp.r(name, lane), self.warp.r(tool.reg_plus(name, 1), lane)
        return None if lo is None or hi is None else (hi << 32) | lo

    def p(self, name, lane=0):
        return self.warp.p(name, lane)

    def issued(self, address):
        return self.executor.counts.get(address, 0)


def signed(v):
    return v - (1 << 32) if v & 0x80000000 else v


class IntegerArithmetic(unittest.TestCase):
    def test_64_bit_add_carries_through_iadd3_x(self):
        p = Program(["MOV R2, 0xffffffff", "MOV R3, 0x1", "MOV R4, 0x2", "MOV R5, 0x7",
                     "IADD3 R0, P0, R2, R4, RZ", "IADD3.X R1, R3, R5, RZ, P0, !PT"])
        self.assertEqual(p.r64("R0"), 0x1FFFFFFFF + 0x700000002)

    def test_64_bit_subtract_with_negated_low_and_inverted_high(self):
        for a, b in ((0x500000003, 0x200000005), (7, 7), (0x100000000, 1), (3, 0)):
            with self.subTest(a=a, b=b):
                p = Program(["MOV R2, 0x%x" % (a & MASK32), "MOV R3, 0x%x" % (a >> 32),
                             "MOV R4, 0x%x" % (b & MASK32), "MOV R5, 0x%x" % (b >> 32),
                             "IADD3 R0, P0, R2, -R4, RZ", "IADD3.X R1, R3, ~R5, RZ, P0, !PT"])
                self.assertEqual(p.r64("R0"), (a - b) & ((1 << 64) - 1))

    def test_imad_forms(self):
        p = Program(["MOV R2, 0xfffffffd", "MOV R3, 0x7",
                     "IMAD R4, R2, R3, 0x5",                      # -3 * 7 + 5
                     "IMAD.WIDE R6, R2, 0x4, RZ",                 # sign-extended product
                     "IMAD.WIDE.U32 R8, R2, 0x4, RZ",             # zero-extended product
                     "IMAD.SHL.U32 R10, R3, 0x10, RZ", "IMAD.MOV.U32 R11, RZ, RZ, -R3",
                     "IMAD.IADD R12, R3, 0x1, R3"])
        self.assertEqual(signed(p.r("R4")), -16)
        self.assertEqual(p.r64("R6"), (-12) & ((1 << 64) - 1))
        self.assertEqual(p.r64("R8"), 0xFFFFFFFD * 4)
        self.assertEqual(p.r("R10"), 0x70)
        self.assertEqual(signed(p.r("R11")), -7)
        self.assertEqual(p.r("R12"), 14)

    def test_division_by_a_constant_through_imad_hi_and_lea_hi_sx32(self):
        # The compiler's n / 10 for signed n: high product with 0x66666667, sign bit, arithmetic shift by 2.
        for n in (0, 9, 10, 99, 12345, -1, -10, -11, -2147483648):
            with self.subTest(n=n):
                p = Program(["MOV R0, 0x%x" % (n & MASK32), "IMAD.HI R1, R0, 0x66666667, RZ",
                             "SHF.R.U32.HI R2, RZ, 0x1f, R1", "LEA.HI.SX32 R3, R1, R2, 0x1e"])
                self.assertEqual(signed(p.r("R3")), int(n / 10))

    def test_address_from_a_signed_index(self):
        # base + 4 * (long long)index: LEA with carry, then LEA.HI.X.SX32 for the high word.
        base = 0x7F0000001000
        for index in (5, -3, 0x7FFFFFFF):
            with self.subTest(index=index):
                p = Program(["MOV R4, 0x%x" % (base & MASK32), "MOV R5, 0x%x" % (base >> 32),
                             "MOV R0, 0x%x" % (index & MASK32), "LEA R2, P0, R0, R4, 0x2",
                             "LEA.HI.X.SX32 R3, R0, R5, 0x2, P0"])
                self.assertEqual(p.r64("R2"), base + 4 * index)

    def test_lea_hi_of_a_64_bit_value(self):
        value = 0x123456789
        p = Program(["MOV R0, 0x%x" % (value & MASK32), "MOV R1, 0x%x" % (value >> 32),
                     "MOV R6, 0x10", "MOV R7, 0x20", "LEA R2, P0, R0, R6, 0x3", "LEA.HI.X R3, R0, R7, R1, 0x3, P0",
                     "LEA.HI R8, R0, 0x1, RZ, 0x18"])
        self.assertEqual(p.r64("R2"), (value << 3) + ((0x20 << 32) | 0x10))
        self.assertEqual(p.r("R8"), 1 + ((value & MASK32) >> 8))

    def test_funnel_shifts(self):
        p = Program(["MOV R0, 0x80000001", "MOV R1, 0x3",
                     "SHF.L.U64.HI R2, R0, 0x4, R1", "SHF.L.U32 R3, R0, 0x4, RZ", "SHF.R.U64 R4, R0, 0x4, R1",
                     "SHF.R.S32.HI R5, RZ, 0x1f, R0", "SHF.R.U32.HI R6, RZ, 0x1f, R0"])
        self.assertEqual(p.r("R2"), 0x38)
        self.assertEqual(p.r("R3"), 0x10)
        self.assertEqual(p.r("R4"), 0x38000000)
        self.assertEqual(p.r("R5"), MASK32)
        self.assertEqual(p.r("R6"), 1)

    def test_lop3_lut_and_its_predicate(self):
        p = Program(["MOV R0, 0xf0f0", "MOV R1, 0xff00", "MOV R2, 0x3c3c",
                     "LOP3.LUT R3, R0, R1, R2, 0x96, !PT",          # a ^ b ^ c
                     "LOP3.LUT P0, R4, R0, 0xf, RZ, 0xc0, !PT",      # a & b is 0: P0 false
                     "LOP3.LUT P1, RZ, R0, 0xf0, RZ, 0xc0, !PT"])
        self.assertEqual(p.r("R3"), 0xF0F0 ^ 0xFF00 ^ 0x3C3C)
        self.assertEqual(p.r("R4"), 0)
        self.assertIs(p.p("P0"), False)
        self.assertIs(p.p("P1"), True)

    def test_min_max_select_and_byte_permute(self):
        p = Program(["MOV R0, 0xfffffff0", "MOV R1, 0x20",
                     "VIADDMNMX R2, R0, R1, 0x5, PT",     # min(-16 + 32, 5)
                     "VIADDMNMX R3, R0, -R1, 0xffffffbf, !PT",  # max(-48, -65)
                     "VIMNMX R4, R0, R1, PT", "VIMNMX.U32 R5, R0, R1, PT",
                     "ISETP.GT.AND P0, PT, R1, 0x10, PT", "SEL R6, R0, R1, P0",
                     "MOV R7, 0x44332211", "PRMT R8, R7, 0x7773, RZ"])
        self.assertEqual(p.r("R2"), 5)
        self.assertEqual(signed(p.r("R3")), -48)
        self.assertEqual(signed(p.r("R4")), -16)
        self.assertEqual(p.r("R5"), 0x20)
        self.assertEqual(p.r("R6"), 0xFFFFFFF0)
        self.assertEqual(p.r("R8"), 0x44)

    def test_byte_permute_keeps_the_known_bytes_of_an_uninitialised_register(self):
        # A flag merged into the low half of a register never written whole, then sign-extended from it.
        p = Program(["PRMT R4, RZ, 0x7610, R4", "MOV R2, 0x8001", "PRMT R4, R2, 0x7610, R4",
                     "PRMT R7, R4, 0x9910, RZ", "PRMT R8, R4, 0x7632, RZ"])
        self.assertEqual(p.r("R7"), 0xFFFF8001)
        self.assertIsNone(p.r("R8"))  # the upper half stays unknown
        self.assertIsNone(p.r("R4"))

    def test_half_constant_through_hfma2(self):
        p = Program(["HFMA2.MMA R0, -RZ, RZ, 0, 5.9604644775390625e-08", "HFMA2.MMA R1, -RZ, RZ, 1.875, 0"])
        self.assertEqual(p.r("R0"), 1)
        self.assertEqual(p.r("R1"), 0x3F800000)  # 1.875 as a half is 0x3f80: float32 1.0 in the upper half


class Compares(unittest.TestCase):
    def compare64(self, op, a, b):
        p = Program(["MOV R0, 0x%x" % (a & MASK32), "MOV R1, 0x%x" % ((a >> 32) & MASK32),
                     "MOV R2, 0x%x" % (b & MASK32), "MOV R3, 0x%x" % ((b >> 32) & MASK32),
                     "ISETP.%s.U32.AND P0, PT, R0, R2, PT" % op, "ISETP.%s.AND.EX P1, PT, R1, R3, PT, P0" % op])
        return p.p("P1")

    def test_signed_64_bit_compares(self):
        pairs = ((5, 7), (7, 5), (7, 7), (-1, 1), (1 << 33, (1 << 33) + 1), (-(1 << 40), 3), (0x1FFFFFFFF, 0x100000000))
        for op, fn in (("LT", int.__lt__), ("LE", int.__le__), ("GT", int.__gt__), ("GE", int.__ge__),
                       ("EQ", int.__eq__), ("NE", int.__ne__)):
            for a, b in pairs:
                with self.subTest(op=op, a=a, b=b):
                    self.assertIs(self.compare64(op, a, b), fn(a, b))

    def test_combined_predicates(self):
        p = Program(["MOV R0, 0x3", "ISETP.GE.AND P0, PT, R0, 0x2, PT", "ISETP.GE.AND P1, P2, R0, 0x5, P0",
                     "ISETP.LT.OR P3, PT, R0, 0x1, P1", "PLOP3.LUT P4, PT, P0, P2, PT, 0x80, 0x0"])
        self.assertIs(p.p("P0"), True)
        self.assertIs(p.p("P1"), False)
        self.assertIs(p.p("P2"), True)   # the second destination: not (R0 >= 5), and P0
        self.assertIs(p.p("P3"), False)
        self.assertIs(p.p("P4"), True)


class ControlFlow(unittest.TestCase):
    def test_thread_and_block_indices_and_parameters(self):
        p = Program(["S2R R0, SR_TID.X", "S2R R1, SR_TID.Y", "ULDC UR4, c[0x0][0x210]", "ULDC UR5, c[0x0][0x0]",
                     "IMAD R2, R1, UR5, R0", "IADD3 R3, R2, UR4, RZ"], params=(1000,), block=(8, 4, 1))
        for lane in (0, 9, 31):
            self.assertEqual(p.r("R3", lane), 1000 + lane)
            self.assertEqual(p.r("R1", lane), lane // 8)

    def test_divergent_branch_issues_each_side_once_and_reconverges(self):
        lines = ["S2R R0, SR_TID.X",                      # 0x00
                 "ISETP.GE.AND P0, PT, R0, 0xa, PT",      # 0x10
                 "BSSY B0, 0x70",                         # 0x20
                 "@P0 BRA 0x60",                          # 0x30
                 "MOV R1, 0x1",                           # 0x40 lanes 0..9
                 "BRA 0x70",                              # 0x50
                 "MOV R1, 0x2",                           # 0x60 lanes 10..31
                 "BSYNC B0",                              # 0x70
                 "IADD3 R2, R1, 0x10, RZ"]                # 0x80 all lanes, once
        p = Program(lines)
        self.assertEqual([p.issued(a) for a in (0x40, 0x60, 0x70, 0x80)], [1, 1, 1, 1])
        self.assertEqual(p.r("R2", 3), 0x11)
        self.assertEqual(p.r("R2", 20), 0x12)

    def test_loop_with_per_lane_trip_counts(self):
        # Lane l runs the loop body l % 4 + 1 times: the warp issues it 4 times, the exit waits for the last.
        lines = ["S2R R0, SR_TID.X",                      # 0x00
                 "LOP3.LUT R1, R0, 0x3, RZ, 0xc0, !PT",   # 0x10
                 "IADD3 R1, R1, 0x1, RZ",                 # 0x20
                 "MOV R2, RZ",                            # 0x30
                 "IADD3 R2, R2, 0x1, RZ",                 # 0x40 the body
                 "ISETP.LT.AND P0, PT, R2, R1, PT",       # 0x50
                 "@P0 BRA 0x40",                          # 0x60
                 "MOV R3, R2"]                            # 0x70
        p = Program(lines)
        self.assertEqual(p.issued(0x40), 4)
        self.assertEqual(p.issued(0x70), 1)
        self.assertEqual([p.r("R3", lane) for lane in range(5)], [1, 2, 3, 4, 1])

    def test_predicated_exit_removes_lanes(self):
        p = Program(["S2R R0, SR_TID.X", "ISETP.GE.AND P0, PT, R0, 0x8, PT", "@P0 EXIT", "MOV R1, 0x5"])
        self.assertEqual(p.issued(0x30), 1)
        self.assertEqual(p.r("R1", 3), 5)
        self.assertIsNone(p.r("R1", 8))

    def test_values_from_memory_and_floats_are_unknown(self):
        p = Program(["MOV R0, 0x4", "LDG.E R0, desc[UR4][R2.64]", "FADD R1, R1, R1", "IADD3 R2, R0, 0x1, RZ",
                     "LDS.64 R4, [R6]"])
        self.assertIsNone(p.r("R0"))
        self.assertIsNone(p.r("R2"))
        self.assertIsNone(p.r("R5"))

    def test_a_branch_on_loaded_data_is_refused(self):
        with self.assertRaisesRegex(tool.ProfileError, "branches on data"):
            Program(["LDG.E R0, desc[UR4][R2.64]", "ISETP.GT.AND P0, PT, R0, 0x3, PT", "@P0 BRA 0x40",
                     "MOV R1, 0x1", "MOV R1, 0x2"])

    def test_spilled_registers_keep_their_values(self):
        p = Program(["MOV R0, 0x2a", "STL [R1+0x4], R0", "MOV R0, RZ", "LDL R3, [R1+0x4]"])
        self.assertEqual(p.r("R3"), 0x2A)

    def test_classes(self):
        cases = {"FFMA": "float32", "MUFU": "float32", "IMAD": "integer", "LOP3": "integer", "LDS": "shared",
                 "STG": "global", "LDL": "global", "BAR": "branch/barrier", "BSSY": "branch/barrier",
                 "ULDC": "other", "DADD": "other", "SHFL": "other"}
        for opcode, klass in cases.items():
            self.assertEqual(tool.classify(opcode, [])[0], klass, opcode)



class IndexedBranch(unittest.TestCase):
    def test_brx_follows_the_jump_table_entry_each_lane_loads(self):
        # A switch on the lane: lanes 0..15 load entry 1, the others entry 0; an entry plus the next
        # instruction's address plus BRX's offset is the target.
        p = Program(["S2R R0, SR_TID.X", "ISETP.LT.AND P0, PT, R0, 0x10, PT", "SEL R1, RZ, 0x4, !P0",
                     "LDC R4, c[0x2][R1]", "BRX R4 -0x50", "MOV R5, 0x7", "EXIT", "MOV R5, 0x9"],
                    jump_tables={0: 0x50, 4: 0x70})
        self.assertEqual(p.r("R5", 0), 0x9)
        self.assertEqual(p.r("R5", 31), 0x7)
        self.assertEqual(p.issued(0x50), 1)  # lanes 16..31 only, once
        self.assertEqual(p.issued(0x70), 1)


if __name__ == "__main__":
    parser = argparse.ArgumentParser()
    parser.add_argument("--script", required=True)
    ARGS, rest = parser.parse_known_args()
    tool = SourceFileLoader("sass_profile", ARGS.script).load_module()
    unittest.main(argv=[sys.argv[0]] + rest)
