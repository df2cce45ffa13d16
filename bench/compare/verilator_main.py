"""The C++ driver of a Verilator model for the comparison benchmark."""

from __future__ import annotations

from nimbo.verilog.netlist import Netlist

_TEMPLATE = r"""// Generated driver: applies vectors.mem to the model, prints the outputs of
// the first vectors, then replays all vectors and prints "T <count> <seconds>".
#include "V@MODULE@.h"
#include "verilated.h"

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

static void print_bits(uint64_t x, int width) {
    for (int i = width - 1; i >= 0; --i) std::putchar('0' + static_cast<int>((x >> i) & 1U));
}

int main(int argc, char** argv) {
    if (argc < 4) return 2;
    const int kPorts = @NPORTS@;
    const int kWidths[] = {@WIDTHS@};
    std::ifstream in(argv[1]);
    std::vector<uint64_t> vec;
    std::string line;
    size_t count = 0;
    while (std::getline(in, line)) {
        if (line.empty()) continue;
        size_t pos = 0;
        for (int p = 0; p < kPorts; ++p) {
            uint64_t x = 0;
            for (int i = 0; i < kWidths[p]; ++i) x = (x << 1) | (line[pos + i] == '1' ? 1U : 0U);
            pos += kWidths[p];
            vec.push_back(x);
        }
        ++count;
    }
    const size_t shown = std::strtoul(argv[2], nullptr, 10);
    const double min_seconds = std::strtod(argv[3], nullptr);
    auto context = std::make_unique<VerilatedContext>();
    auto top = std::make_unique<V@MODULE@>(context.get());
    auto apply = [&](size_t k) {
        const uint64_t* r = &vec[k * kPorts];
        (void)r;
@APPLY@
        top->eval();
    };
    for (size_t k = 0; k < shown && k < count; ++k) {
        apply(k);
        std::printf("V %zu", k);
@SHOW@
        std::putchar('\n');
    }
    size_t done = 0;
    const auto start = std::chrono::steady_clock::now();
    double elapsed = 0;
    while (elapsed < min_seconds && count > 0) {
        for (size_t k = 0; k < count; ++k) apply(k);
        done += count;
        elapsed = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    }
    std::printf("T %zu %.9f\n", done, elapsed);
    top->final();
    return 0;
}
"""


def verilator_main(netlist: Netlist) -> str:
    for port in netlist.inputs + netlist.outputs:
        if port.width > 64:
            raise ValueError(f"port {port.name} is {port.width} bits; the driver handles at most 64")
    apply = "\n".join(f"        top->{p.name} = r[{i}];" for i, p in enumerate(netlist.inputs))
    show = "\n".join(f"        std::putchar(' '); print_bits(top->{p.name}, {p.width});" for p in netlist.outputs)
    return (_TEMPLATE.replace("@MODULE@", netlist.module)
            .replace("@NPORTS@", str(len(netlist.inputs)))
            .replace("@WIDTHS@", ", ".join(str(p.width) for p in netlist.inputs) or "0")
            .replace("@APPLY@", apply)
            .replace("@SHOW@", show))
