#pragma once
// Contrast between a tray icon's ink and the bar under it, as WCAG measures it: relative
// luminance of sRGB colours and the ratio (L1 + 0.05) / (L2 + 0.05). White or black ink always
// reaches at least 4.58:1 on some side, so choosing the better of the two always reads.
namespace talvo::InkContrast {

// 8-bit sRGB channels.
double relativeLuminance(int red, int green, int blue);
double ratio(double luminanceA, double luminanceB);
// True when white ink contrasts more with a bar of this luminance than black ink does.
bool lightInkOn(double barLuminance);

}  // namespace talvo::InkContrast
