# Reads the disassembly of libkivo_cuda_sim.so: the copy of each kernel compiled for the processor's fused
# multiply-add (KernelCall<...>::run_fma) must use the instruction and never call the C library's fma/fmaf.
/^[0-9a-f]+ <.*>:$/ {
    in_fma_body = ($0 ~ /::run_fma\(void\*\)>:$/)
    if (in_fma_body) bodies++
    next
}
in_fma_body && /call.*<fmaf?@plt>/ { print "calls the C library: " $0; calls++ }
in_fma_body && /vfn?m(add|sub)[0-9]+s[sd]/ { fused++ }
END {
    printf "%d kernel copies for fused multiply-add, %d fused instructions, %d library calls\n", bodies, fused, calls
    exit (bodies == 0 || fused == 0 || calls > 0)
}
