/* The routines of the compiler's support library that glibc's soft-fp does
 * not have: complex multiplication and division (with the recovery of
 * infinities that C's Annex G asks for) and integer powers, for float and
 * double. Built with -msoft-float by scripts/build-target-deps.sh into the
 * soft-float libgcc; musl's complex functions call __muldc3.
 * No complex arithmetic here: the compiler would call these very routines. */

#define INF(T) ((T)__builtin_inf())
/* Like the rest of libgcc.a: not exported from the shared objects that
 * link it. */
#define HIDDEN __attribute__((visibility("hidden")))

#define DEFINE_COMPLEX(T, mul, div)                                         \
  HIDDEN T _Complex mul(T a, T b, T c, T d)                                        \
  {                                                                         \
    T ac = a * c, bd = b * d, ad = a * d, bc = b * c;                       \
    T x = ac - bd, y = ad + bc;                                             \
    if (__builtin_isnan(x) && __builtin_isnan(y)) {                         \
      int again = 0;                                                        \
      if (__builtin_isinf(a) || __builtin_isinf(b)) {                       \
        a = __builtin_copysign(__builtin_isinf(a) ? 1 : 0, a);              \
        b = __builtin_copysign(__builtin_isinf(b) ? 1 : 0, b);              \
        if (__builtin_isnan(c)) c = __builtin_copysign(0, c);               \
        if (__builtin_isnan(d)) d = __builtin_copysign(0, d);               \
        again = 1;                                                          \
      }                                                                     \
      if (__builtin_isinf(c) || __builtin_isinf(d)) {                       \
        c = __builtin_copysign(__builtin_isinf(c) ? 1 : 0, c);              \
        d = __builtin_copysign(__builtin_isinf(d) ? 1 : 0, d);              \
        if (__builtin_isnan(a)) a = __builtin_copysign(0, a);               \
        if (__builtin_isnan(b)) b = __builtin_copysign(0, b);               \
        again = 1;                                                          \
      }                                                                     \
      if (!again && (__builtin_isinf(ac) || __builtin_isinf(bd) ||          \
                     __builtin_isinf(ad) || __builtin_isinf(bc))) {         \
        if (__builtin_isnan(a)) a = __builtin_copysign(0, a);               \
        if (__builtin_isnan(b)) b = __builtin_copysign(0, b);               \
        if (__builtin_isnan(c)) c = __builtin_copysign(0, c);               \
        if (__builtin_isnan(d)) d = __builtin_copysign(0, d);               \
        again = 1;                                                          \
      }                                                                     \
      if (again) {                                                          \
        x = INF(T) * (a * c - b * d);                                       \
        y = INF(T) * (a * d + b * c);                                       \
      }                                                                     \
    }                                                                       \
    T _Complex r;                                                           \
    __real__ r = x;                                                         \
    __imag__ r = y;                                                         \
    return r;                                                               \
  }                                                                         \
                                                                            \
  /* (a + ib) / (c + id), scaled by the larger part of the divisor. */      \
  HIDDEN T _Complex div(T a, T b, T c, T d)                                        \
  {                                                                         \
    T ratio, denom, x, y;                                                   \
    if (__builtin_fabs(c) < __builtin_fabs(d)) {                            \
      ratio = c / d;                                                        \
      denom = c * ratio + d;                                                \
      x = (a * ratio + b) / denom;                                          \
      y = (b * ratio - a) / denom;                                          \
    } else {                                                                \
      ratio = d / c;                                                        \
      denom = d * ratio + c;                                                \
      x = (b * ratio + a) / denom;                                          \
      y = (b - a * ratio) / denom;                                          \
    }                                                                       \
    if (__builtin_isnan(x) && __builtin_isnan(y)) {                         \
      if (c == 0 && d == 0 && (!__builtin_isnan(a) || !__builtin_isnan(b))) { \
        x = __builtin_copysign(INF(T), c) * a;                              \
        y = __builtin_copysign(INF(T), c) * b;                              \
      } else if ((__builtin_isinf(a) || __builtin_isinf(b)) &&              \
                 __builtin_isfinite(c) && __builtin_isfinite(d)) {          \
        a = __builtin_copysign(__builtin_isinf(a) ? 1 : 0, a);              \
        b = __builtin_copysign(__builtin_isinf(b) ? 1 : 0, b);              \
        x = INF(T) * (a * c + b * d);                                       \
        y = INF(T) * (b * c - a * d);                                       \
      } else if ((__builtin_isinf(c) || __builtin_isinf(d)) &&              \
                 __builtin_isfinite(a) && __builtin_isfinite(b)) {          \
        c = __builtin_copysign(__builtin_isinf(c) ? 1 : 0, c);              \
        d = __builtin_copysign(__builtin_isinf(d) ? 1 : 0, d);              \
        x = 0 * (a * c + b * d);                                            \
        y = 0 * (b * c - a * d);                                            \
      }                                                                     \
    }                                                                       \
    T _Complex r;                                                           \
    __real__ r = x;                                                         \
    __imag__ r = y;                                                         \
    return r;                                                               \
  }

/* x to the power m by repeated squaring. */
#define DEFINE_POWI(T, powi)                                                \
  HIDDEN T powi(T x, int m)                                                        \
  {                                                                         \
    unsigned n = m < 0 ? -(unsigned)m : (unsigned)m;                        \
    T y = n % 2 ? x : 1;                                                    \
    while (n >>= 1) {                                                       \
      x = x * x;                                                            \
      if (n % 2) y = y * x;                                                 \
    }                                                                       \
    return m < 0 ? 1 / y : y;                                               \
  }

DEFINE_COMPLEX(float, __mulsc3, __divsc3)
DEFINE_COMPLEX(double, __muldc3, __divdc3)
DEFINE_POWI(float, __powisf2)
DEFINE_POWI(double, __powidf2)
