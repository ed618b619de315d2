#pragma once
// Rectangles and affine transforms in image coordinates: origin at the bottom-left, y up.
#include <cmath>
#include <limits>

namespace imaging {

struct Point {
  double x = 0, y = 0;
};

// An extent: possibly infinite (a constant colour, a clamped image), possibly empty.
struct Rect {
  double x = 0, y = 0, width = 0, height = 0;

  static Rect infinite() {
    constexpr double big = std::numeric_limits<double>::infinity();
    return {-big, -big, big, big};
  }
  bool isInfinite() const { return std::isinf(width) || std::isinf(height); }
  bool isEmpty() const { return !(width > 0) || !(height > 0); }
  double maxX() const { return std::isinf(width) ? width : x + width; }
  double maxY() const { return std::isinf(height) ? height : y + height; }

  Rect intersected(const Rect& r) const {
    double x0 = std::fmax(x, r.x), y0 = std::fmax(y, r.y);
    double x1 = std::fmin(maxX(), r.maxX()), y1 = std::fmin(maxY(), r.maxY());
    if (!(x1 > x0) || !(y1 > y0)) return {x0, y0, 0, 0};
    return span(x0, y0, x1, y1);
  }
  Rect united(const Rect& r) const {
    if (isEmpty()) return r;
    if (r.isEmpty()) return *this;
    return span(std::fmin(x, r.x), std::fmin(y, r.y), std::fmax(maxX(), r.maxX()),
                std::fmax(maxY(), r.maxY()));
  }
  Rect insetBy(double dx, double dy) const {
    if (isEmpty()) return *this;
    return span(x + dx, y + dy, maxX() - dx, maxY() - dy);
  }
  bool operator==(const Rect&) const = default;

 private:
  // An infinite edge keeps its width infinite rather than inf - (-inf).
  static Rect span(double x0, double y0, double x1, double y1) {
    double w = std::isinf(x0) || std::isinf(x1) ? std::numeric_limits<double>::infinity() : x1 - x0;
    double h = std::isinf(y0) || std::isinf(y1) ? std::numeric_limits<double>::infinity() : y1 - y0;
    return {x0, y0, w, h};
  }
};

// Maps (x, y) to (a x + c y + tx, b x + d y + ty).
struct Affine {
  double a = 1, b = 0, c = 0, d = 1, tx = 0, ty = 0;

  static Affine scale(double sx, double sy) { return {sx, 0, 0, sy, 0, 0}; }
  static Affine translation(double x, double y) { return {1, 0, 0, 1, x, y}; }

  bool isIdentity() const { return a == 1 && b == 0 && c == 0 && d == 1 && tx == 0 && ty == 0; }
  Point apply(Point p) const { return {a * p.x + c * p.y + tx, b * p.x + d * p.y + ty}; }
  // This transform followed by `next`.
  Affine then(const Affine& next) const {
    return {next.a * a + next.c * b, next.b * a + next.d * b, next.a * c + next.c * d,
            next.b * c + next.d * d, next.a * tx + next.c * ty + next.tx,
            next.b * tx + next.d * ty + next.ty};
  }
  // The bounding box of the transformed rectangle.
  Rect apply(const Rect& r) const;
  bool operator==(const Affine&) const = default;
};

inline Rect Affine::apply(const Rect& r) const {
  if (r.isEmpty()) return {apply(Point{r.x, r.y}).x, apply(Point{r.x, r.y}).y, 0, 0};
  if (r.isInfinite()) return Rect::infinite();
  Point corners[] = {apply(Point{r.x, r.y}), apply(Point{r.maxX(), r.y}),
                     apply(Point{r.x, r.maxY()}), apply(Point{r.maxX(), r.maxY()})};
  double x0 = corners[0].x, x1 = x0, y0 = corners[0].y, y1 = y0;
  for (const Point& p : corners) {
    x0 = std::fmin(x0, p.x), x1 = std::fmax(x1, p.x);
    y0 = std::fmin(y0, p.y), y1 = std::fmax(y1, p.y);
  }
  return {x0, y0, x1 - x0, y1 - y0};
}

}  // namespace imaging
