// The tensors the host operators hand to the launchers: dense inputs of the
// element type the kernels read, and float32 outputs. Shared by the image and
// volume operators.
#pragma once

#include <ATen/ATen.h>

#include "ops/launch.h"
#include "ops/output_cache.h"

namespace korvex {

// A dense row-major tensor of `dtype` with t's values: t itself when it
// already is one, else one copy. The kernels read raw storage, so views whose
// negation or conjugation is only a flag (a lazily negated view, the
// imaginary part of a conjugate view) and autograd's zero tensors are
// resolved here too; flags first, since a copy that converts the element
// type does not apply them. Copies come from the output cache: a call that
// converts its images (float32 images read in half precision) does so at
// every call, into memory the last call's copies gave back.
inline at::Tensor dense(const at::Tensor& t, at::ScalarType dtype) {
    const bool flagged = t.is_neg() || t.is_conj();
    if (t.is_contiguous() && t.scalar_type() == dtype && !flagged && !t._is_zerotensor()) return t;
    if (t._is_zerotensor()) return at::zeros(t.sizes(), t.options().dtype(dtype));
    return empty_output(t.sizes(), t.options().dtype(dtype)).copy_(flagged ? t.resolve_conj().resolve_neg() : t);
}

// Every output is written in full by the kernels, so none is zero-filled.
inline at::Tensor float_map_like(const at::Tensor& img1) {
    return empty_output(img1.sizes(), img1.options().dtype(at::kFloat));
}

// The tensor library's types for the storage formats of PixelTraits.
struct TensorTypes {
    using Float32 = float;
    using Binary16 = at::Half;
    using BFloat16 = at::BFloat16;
};

// The element type the kernels read for a precision.
inline at::ScalarType image_dtype(Precision precision) {
    at::ScalarType dtype = at::kFloat;
    with_precision(precision,
                   [&](auto P) { dtype = c10::CppTypeToScalarType<PixelType<P.value, TensorTypes>>::value; });
    return dtype;
}

}  // namespace korvex
