/* An explicit fused multiply-add: the no-FMA check must find one here. */
float tnrMdFmaProbe(float a, float b, float c);
float tnrMdFmaProbe(float a, float b, float c) { return __builtin_fmaf(a, b, c); }
