// SPDX-License-Identifier: BSD-3-Clause
// The solver's vector arithmetic gives SUNDIALS' own serial results to the last bit, for the
// coefficients that SUNDIALS treats apart (one, minus one, equal, opposite) and with the result
// in place of an operand.
#include <gtest/gtest.h>
#include <nvector/nvector_serial.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <random>
#include <string>
#include <vector>

#include "sundials.hpp"

namespace penstock::sim::detail {
namespace {

constexpr size_t kLength = 37;

class SerialVector : public ::testing::Test {
 protected:
  // Vectors with ours and with SUNDIALS' arithmetic, filled alike: values over many magnitudes
  // and both signs, so that a change of grouping shows in the last bits.
  void SetUp() override {
    std::mt19937_64 random(2026);
    std::uniform_real_distribution<double> mantissa(-1.0, 1.0);
    std::uniform_int_distribution<int> exponent(-20, 20);
    for (size_t k = 0; k < ours_.size(); ++k) {
      ours_[k] = new_vector(kLength, context_.get(), "test vector");
      theirs_[k] = Vector(N_VNew_Serial(kLength, context_.get()));
      ASSERT_EQ(N_VEnableFusedOps_Serial(theirs_[k].get(), SUNTRUE), 0);
      for (size_t i = 0; i < kLength; ++i)
        data(ours_[k])[i] = data(theirs_[k])[i] = std::ldexp(mantissa(random), exponent(random));
    }
    // An id vector: differential (1) and algebraic (0) entries.
    for (size_t i = 0; i < kLength; ++i) data(ours_[5])[i] = data(theirs_[5])[i] = i % 3 == 0 ? 0.0 : 1.0;
  }

  N_Vector o(size_t k) { return ours_[k].get(); }
  N_Vector t(size_t k) { return theirs_[k].get(); }

  // Every vector's entries, ours against theirs, bit for bit.
  void expect_same(const std::string& what) {
    for (size_t k = 0; k < ours_.size(); ++k)
      for (size_t i = 0; i < kLength; ++i)
        ASSERT_EQ(std::bit_cast<uint64_t>(data(ours_[k])[i]), std::bit_cast<uint64_t>(data(theirs_[k])[i]))
            << what << ": vector " << k << ", entry " << i;
  }
  static void expect_same(double ours, double theirs, const std::string& what) {
    EXPECT_EQ(std::bit_cast<uint64_t>(ours), std::bit_cast<uint64_t>(theirs)) << what;
  }

  Context context_ = new_context();
  std::vector<Vector> ours_ = std::vector<Vector>(6);
  std::vector<Vector> theirs_ = std::vector<Vector>(6);
};

TEST_F(SerialVector, LinearSumsGroupedAsSundialsGroupsThem) {
  const double a = 0.3, b = -1.7;
  const std::vector<std::pair<double, double>> coefficients{{a, b},   {a, a},  {a, -a},       {1, b},  {a, 1},
                                                            {-1, b},  {a, -1}, {1, 1},        {1, -1}, {-1, 1},
                                                            {-1, -1}, {0, 0},  {1e300, 1e300}};
  for (const auto& [ca, cb] : coefficients) {
    const std::string what = "linear sum " + std::to_string(ca) + ", " + std::to_string(cb);
    N_VLinearSum(ca, o(0), cb, o(1), o(2));
    N_VLinearSum(ca, t(0), cb, t(1), t(2));
    expect_same(what + " into a third vector");
    N_VLinearSum(ca, o(0), cb, o(1), o(1));
    N_VLinearSum(ca, t(0), cb, t(1), t(1));
    expect_same(what + " into y");
    N_VLinearSum(ca, o(3), cb, o(1), o(3));
    N_VLinearSum(ca, t(3), cb, t(1), t(3));
    expect_same(what + " into x");
  }
}

TEST_F(SerialVector, ElementwiseOperations) {
  N_VConst(2.5, o(4));
  N_VConst(2.5, t(4));
  N_VProd(o(0), o(1), o(2));
  N_VProd(t(0), t(1), t(2));
  N_VDiv(o(2), o(3), o(2));
  N_VDiv(t(2), t(3), t(2));
  N_VAbs(o(0), o(3));
  N_VAbs(t(0), t(3));
  N_VInv(o(3), o(3));
  N_VInv(t(3), t(3));
  N_VAddConst(o(1), -0.7, o(1));
  N_VAddConst(t(1), -0.7, t(1));
  expect_same("elementwise");
  for (const double c : {1.0, -1.0, 0.37}) {
    N_VScale(c, o(0), o(0));
    N_VScale(c, t(0), t(0));
    N_VScale(c, o(1), o(4));
    N_VScale(c, t(1), t(4));
    expect_same("scale by " + std::to_string(c));
  }
}

TEST_F(SerialVector, NormsAndReductions) {
  expect_same(N_VDotProd(o(0), o(1)), N_VDotProd(t(0), t(1)), "dot product");
  expect_same(N_VMaxNorm(o(0)), N_VMaxNorm(t(0)), "max norm");
  expect_same(N_VWrmsNorm(o(0), o(1)), N_VWrmsNorm(t(0), t(1)), "weighted RMS norm");
  expect_same(N_VWrmsNormMask(o(0), o(1), o(5)), N_VWrmsNormMask(t(0), t(1), t(5)), "masked weighted RMS norm");
  expect_same(N_VWSqrSumLocal(o(2), o(3)), N_VWSqrSumLocal(t(2), t(3)), "weighted squares");
  expect_same(N_VWSqrSumMaskLocal(o(2), o(3), o(5)), N_VWSqrSumMaskLocal(t(2), t(3), t(5)), "masked weighted squares");
  N_VConst(0.0, o(4));
  N_VConst(0.0, t(4));
  expect_same(N_VWrmsNorm(o(4), o(1)), N_VWrmsNorm(t(4), t(1)), "norm of zero");
}

TEST_F(SerialVector, FusedAndArrayOperations) {
  std::vector<double> c{0.7, -1.3, 2.9, 1.0, -0.25};
  for (int nvec = 1; nvec <= 5; ++nvec) {
    std::vector<N_Vector> xo{o(0), o(1), o(2), o(3), o(4)}, xt{t(0), t(1), t(2), t(3), t(4)};
    N_VLinearCombination(nvec, c.data(), xo.data(), o(5));
    N_VLinearCombination(nvec, c.data(), xt.data(), t(5));
    expect_same("linear combination of " + std::to_string(nvec));
    N_VLinearCombination(nvec, c.data(), xo.data(), o(0));  // in place of the first
    N_VLinearCombination(nvec, c.data(), xt.data(), t(0));
    expect_same("linear combination of " + std::to_string(nvec) + " into the first");
  }
  std::vector<double> equal{0.7, 0.7};
  N_Vector two_o[] = {o(1), o(2)}, two_t[] = {t(1), t(2)};
  N_VLinearCombination(2, equal.data(), two_o, o(3));
  N_VLinearCombination(2, equal.data(), two_t, t(3));
  expect_same("linear combination of two with equal coefficients");

  N_Vector yo[] = {o(1), o(2)}, yt[] = {t(1), t(2)}, zo[] = {o(3), o(4)}, zt[] = {t(3), t(4)};
  N_VScaleAddMulti(2, c.data(), o(0), yo, zo);
  N_VScaleAddMulti(2, c.data(), t(0), yt, zt);
  N_VScaleAddMulti(2, c.data(), o(0), yo, yo);
  N_VScaleAddMulti(2, c.data(), t(0), yt, yt);
  expect_same("scale-add-multi");
  std::vector<double> dots_o(2), dots_t(2);
  N_VDotProdMulti(2, o(0), yo, dots_o.data());
  N_VDotProdMulti(2, t(0), yt, dots_t.data());
  expect_same(dots_o[1], dots_t[1], "dot products");

  N_VLinearSumVectorArray(2, 0.4, yo, 0.4, zo, zo);
  N_VLinearSumVectorArray(2, 0.4, yt, 0.4, zt, zt);
  N_VLinearSumVectorArray(2, 0.4, yo, -1.1, zo, yo);
  N_VLinearSumVectorArray(2, 0.4, yt, -1.1, zt, yt);
  N_VScaleVectorArray(2, c.data(), yo, zo);
  N_VScaleVectorArray(2, c.data(), yt, zt);
  N_VConstVectorArray(2, -3.0, yo);
  N_VConstVectorArray(2, -3.0, yt);
  expect_same("vector arrays");
}

TEST_F(SerialVector, ClonesKeepTheArithmetic) {
  Vector clone(N_VClone(o(0)));
  EXPECT_EQ(clone->ops->nvlinearsum, o(0)->ops->nvlinearsum);
  EXPECT_NE(clone->ops->nvlinearsum, t(0)->ops->nvlinearsum);
  EXPECT_EQ(N_VGetVectorID(clone.get()), SUNDIALS_NVEC_SERIAL);
}

}  // namespace
}  // namespace penstock::sim::detail
