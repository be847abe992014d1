// The in-memory lossless heal: the source's coefficients are read once, the
// discs' samples of subsampled components repaired (disc_samples.h), the
// repair areas planned into windows, each window decoded, repaired and
// encoded on its own, its repaired blocks staged until no later window can
// read their places; then they replace the source's, and the arrays are
// written coded like the source.
// The libjpeg call sequence is written down in the header. Nothing
// outside the windows is ever turned into pixels.
#include "heal/lossless_jpeg/lossless_jpeg_heal.h"

#include <algorithm>
#include <initializer_list>

#include "heal/inpaint/band_ends.h"
#include "heal/inpaint/region_inpainter.h"
#include "heal/inpaint/repair_mask.h"
#include "heal/jpeg/jpeg_data_check.h"
#include "heal/jpeg/jpeg_rewrite.h"
#include "heal/lossless_jpeg/block_refiner.h"
#include "heal/lossless_jpeg/disc_samples.h"
#include "heal/lossless_jpeg/jpeg_transplant.h"
#include "heal/lossless_jpeg/jpeg_window.h"
#include "heal/lossless_jpeg/repair_windows.h"
#include "heal/lossless_jpeg/sample_plane.h"

namespace speckmend {

namespace {

using Outcome = LosslessHealResult::Outcome;

// The image reader's own limit on the pixels of one image (2^30).
constexpr std::int64_t kLargestReadablePixels = std::int64_t{1} << 30;

LosslessHealResult refused(std::string diagnostic) {
    LosslessHealResult result;
    result.outcome = Outcome::notReadable;
    result.diagnostic = std::move(diagnostic);
    if (result.diagnostic.empty()) result.diagnostic = "JPEG data cannot be healed";
    return result;
}

LosslessHealResult outcomeOnly(Outcome outcome, std::string diagnostic = {}) {
    LosslessHealResult result;
    result.outcome = outcome;
    result.diagnostic = std::move(diagnostic);
    return result;
}

// A block that replaces the source's: kept aside while a window still to
// come may read its place, since windows may overlap and each must decode
// the source's own blocks.
struct StagedBlock {
    int component = 0;
    JDIMENSION row = 0, column = 0;  // in the source's arrays
    int imcuRow = 0;                 // the row of iMCUs it lies in
    JBLOCK coefficients = {};
};

// Stages every repaired block of the window's donor, at its place in the
// source, and tells the rewrite what it will hold.
void stageRepairedBlocks(JpegRewrite& rewrite, const DonorRegion& region, const RepairedBlocks& repaired,
                         std::vector<StagedBlock>& staged) {
    j_decompress_ptr source = rewrite.source();
    j_decompress_ptr donor = region.healedSource;
    const bool single = source->num_components == 1;
    for (int c = 0; c < donor->num_components && c < repaired.components; ++c) {
        const jpeg_component_info& info = source->comp_info[c];
        const JDIMENSION firstColumn = region.donorImcuX * (single ? 1 : info.h_samp_factor);
        const JDIMENSION firstRow = region.donorImcuY * (single ? 1 : info.v_samp_factor);
        const JDIMENSION rows = std::min<JDIMENSION>(
            {donor->comp_info[c].height_in_blocks, static_cast<JDIMENSION>(repaired.heightInBlocks[c]),
             info.height_in_blocks - std::min(info.height_in_blocks, firstRow)});
        const JDIMENSION columns = std::min<JDIMENSION>(
            {donor->comp_info[c].width_in_blocks, static_cast<JDIMENSION>(repaired.widthInBlocks[c]),
             info.width_in_blocks - std::min(info.width_in_blocks, firstColumn)});
        for (JDIMENSION row = 0; row < rows; ++row) {
            JBLOCKARRAY blocks = (*donor->mem->access_virt_barray)(reinterpret_cast<j_common_ptr>(donor),
                                                                   region.healedCoefficients[c], row, 1, FALSE);
            for (JDIMENSION column = 0; column < columns; ++column) {
                if (!repaired.repaired(c, static_cast<int>(column), static_cast<int>(row))) continue;
                rewrite.noteChangedBlock(c, blocks[0][column]);
                StagedBlock& block = staged.emplace_back();
                block.component = c;
                block.row = firstRow + row;
                block.column = firstColumn + column;
                block.imcuRow =
                    static_cast<int>(region.donorImcuY) + static_cast<int>(row / (single ? 1 : info.v_samp_factor));
                std::copy(blocks[0][column], blocks[0][column] + DCTSIZE2, block.coefficients);
            }
        }
    }
}

// Writes the staged blocks above iMCU row `above` into the source's arrays,
// which the output is written from, and forgets them. Windows come in the
// order of their top rows, so no window still to come reads those places.
void placeStagedBlocks(JpegRewrite& rewrite, std::vector<StagedBlock>& staged, int above) {
    j_decompress_ptr source = rewrite.source();
    std::size_t kept = 0;
    for (const StagedBlock& block : staged) {
        if (block.imcuRow >= above) {
            staged[kept++] = block;
            continue;
        }
        JBLOCKARRAY row = (*source->mem->access_virt_barray)(reinterpret_cast<j_common_ptr>(source),
                                                             rewrite.arrays()[block.component], block.row, 1, TRUE);
        std::copy(block.coefficients, block.coefficients + DCTSIZE2, row[0][block.column]);
    }
    staged.resize(kept);
}

// The repair areas of one photo: first the hot pixels' discs, each found
// with the index of its pixel so that its cells are placed as the pixel's
// own; then the hot lines' bands, each with the index of its line.
struct Areas {
    std::vector<cv::Rect> rects;
    std::vector<std::size_t> pixels;  // of rects[i], i < pixels.size()
    std::vector<std::size_t> lines;   // of rects[pixels.size() + i]
};

// What every window of one photo is healed with.
struct PhotoRepair {
    JpegGrid grid;
    Areas areas;
    const HotPixelMap* map = nullptr;
    double range = 0.0;
    int method = 0;
    int channels = 0;     // of the pixels a window decodes to
    DiscSamples samples;  // the discs' samples of subsampled components
};

// Gives every donor block that holds a repaired pixel the coefficients that
// decode closest to the repair (block_refiner.h), a subsampled component's
// with the samples of the window's hot pixels' discs (non-zero in discs)
// repaired at their own resolution (disc_samples.h). A hot line's band
// keeps the mean of its repaired pixels: a line is no hot pixel's colour
// spread by the camera's downsampling, and with the ring beside it left out
// its samples would be taken from twice as far.
// donorArrays are the window's; the source's blocks are read at the
// window's place.
void refineRepairedBlocks(j_decompress_ptr source, jvirt_barray_ptr* sourceArrays, j_decompress_ptr donor,
                          jvirt_barray_ptr* donorArrays, const RepairWindow& window, const PhotoRepair& photo,
                          const cv::Mat& image, const cv::Mat& mask, const cv::Mat& discs,
                          const RepairedBlocks& repaired) {
    const cv::Rect& imcus = window.imcus;
    const bool single = source->num_components == 1;
    BlockPlace place;
    place.maxH = photo.grid.imcuWidth / 8;
    place.maxV = photo.grid.imcuHeight / 8;
    cv::Mat samples, touched, painted, touchedBySteps;
    cv::Size touchedSteps;  // of touchedBySteps: components of one sampling share it
    for (int c = 0; c < source->num_components && c < repaired.components; ++c) {
        const jpeg_component_info& info = source->comp_info[c];
        const JQUANT_TBL* table = source->quant_tbl_ptrs[info.quant_tbl_no];
        place.component = c;
        place.h = single ? 1 : info.h_samp_factor;
        place.v = single ? 1 : info.v_samp_factor;
        place.samples = place.repairedSamples = nullptr;
        if (photo.samples.has(c)) {
            const int stepX = place.maxH / place.h, stepY = place.maxV / place.v;
            if (touchedBySteps.empty() || touchedSteps != cv::Size(stepX, stepY)) {
                touchedBySteps = touchedSamples(discs, stepX, stepY);
                touchedSteps = cv::Size(stepX, stepY);
            }
            touched = touchedBySteps.clone();
            samples = cv::Mat(touched.size(), CV_8UC1, cv::Scalar(0));
            painted = cv::Mat(touched.size(), CV_8UC1, cv::Scalar(0));
            const cv::Point origin(imcus.x * 8 * place.h, imcus.y * 8 * place.v);
            for (std::size_t index : window.areas)
                if (index < photo.areas.pixels.size()) photo.samples.paint(c, index, samples, painted, origin);
            // A disc left to the mean of its pixels paints nothing.
            touched &= painted;
            place.samples = &samples;
            place.repairedSamples = &touched;
        }
        const JDIMENSION rows = std::min<JDIMENSION>(donor->comp_info[c].height_in_blocks, repaired.heightInBlocks[c]);
        const JDIMENSION columns = std::min<JDIMENSION>(donor->comp_info[c].width_in_blocks, repaired.widthInBlocks[c]);
        for (JDIMENSION row = 0; row < rows; ++row) {
            JBLOCKARRAY to =
                (*donor->mem->access_virt_barray)(reinterpret_cast<j_common_ptr>(donor), donorArrays[c], row, 1, TRUE);
            JBLOCKARRAY from =
                (*source->mem->access_virt_barray)(reinterpret_cast<j_common_ptr>(source), sourceArrays[c],
                                                   static_cast<JDIMENSION>(imcus.y * place.v) + row, 1, FALSE);
            for (JDIMENSION column = 0; column < columns; ++column) {
                if (!repaired.repaired(c, static_cast<int>(column), static_cast<int>(row))) continue;
                place.origin = {static_cast<int>(column) * 8 * place.maxH / place.h,
                                static_cast<int>(row) * 8 * place.maxV / place.v};
                refineDonorBlock(to[0][column], from[0][static_cast<JDIMENSION>(imcus.x * place.h) + column], *table,
                                 source->jpeg_color_space, image, mask, place);
            }
        }
    }
}

// The message of whichever codec raised the error that ended a step.
std::string raisedBy(std::initializer_list<const JpegErrorManager*> managers) {
    for (const JpegErrorManager* manager : managers)
        if (manager->error[0] != '\0') return manager->error;
    return {};
}

const JpegErrorManager* managerOf(j_decompress_ptr codec) {
    return reinterpret_cast<const JpegErrorManager*>(codec->err);
}

// The codecs and buffers every window of a photo goes through, made once
// per photo: each window only resets them, so that a photo of many small
// windows pays for one set of codec objects, not four per window. The
// streams are used one after the other, never two at once.
struct WindowCodecs {
    JpegEncoder encoder;  // the window's headers, then its repaired pixels
    JpegDecoder decoder;  // the window's pixels, then the donor's blocks
    std::vector<unsigned char> blocks;
    std::vector<unsigned char> donorBytes;
    std::vector<StagedBlock> staged;  // of the windows so far, not yet placed
};

// One window on its way through decode, repair, encode and staging.
struct WindowWork {
    const RepairWindow& window;
    cv::Rect pixels;                          // the window in pixels of the photo
    cv::Mat image;                            // its pixels, decoded, then repaired
    cv::Mat mask;                             // non-zero where image was repaired
    cv::Mat discs;                            // the same for the hot pixels' discs alone
    jvirt_barray_ptr* donorArrays = nullptr;  // the repaired pixels' blocks
};

// The window's pixels as the image reader decodes the whole photo.
bool decodeWindow(JpegRewrite& rewrite, WindowCodecs& codecs, const PhotoRepair& photo, WindowWork& work,
                  std::string& diagnostic) {
    j_decompress_ptr source = rewrite.source();
    JpegGuard& guard = rewrite.guard();
    {
        // Only the window's headers are coded: the decoder below is handed
        // the source's blocks themselves, and the repaired blocks are taken
        // from the encoder, so no block is Huffman coded or decoded here.
        auto step = [&] {
            writeWindowHeader(source, rewrite.arrays(), work.window.imcus, codecs.encoder, guard, codecs.blocks);
        };
        if (!runJpegGuarded(guard, step)) {
            diagnostic = raisedBy({&codecs.encoder.errors, managerOf(source)});
            return false;
        }
    }
    work.image = cv::Mat(work.pixels.size(), CV_8UC(photo.channels));
    BlockFeed feed = windowFeed(source, rewrite.arrays(), work.window.imcus);
    auto step = [&] {
        decodeLikeImageReader(codecs.blocks, source->jpeg_color_space, codecs.decoder, guard, work.image, &feed);
    };
    if (!runJpegGuarded(guard, step)) {
        diagnostic = raisedBy({&codecs.decoder.errors});
        return false;
    }
    return true;
}

// Inpaints the window's own repair areas and keeps their mask.
void repairWindow(const PhotoRepair& photo, WindowWork& work) {
    // Only the window's own areas are repaired: others that reach into it
    // belong to windows of their own, whose repairs it never sees.
    const HotPixelMap& map = *photo.map;
    HotPixelMap members{{}, map.width, map.height};
    const std::size_t discs = photo.areas.pixels.size();
    for (std::size_t index : work.window.areas) {
        if (index < discs)
            members.pixels.push_back(map.pixels[photo.areas.pixels[index]]);
        else
            members.lines.push_back(map.lines[photo.areas.lines[index - discs]]);
    }
    const cv::Point origin = work.pixels.tl();
    work.mask = cv::Mat(work.pixels.size(), CV_8UC1, cv::Scalar(0));
    drawRepairMask(members, work.mask, origin);
    work.discs = work.mask;
    if (!members.lines.empty()) {
        const HotPixelMap discs{members.pixels, map.width, map.height};
        work.discs = cv::Mat(work.pixels.size(), CV_8UC1, cv::Scalar(0));
        drawRepairMask(discs, work.discs, origin);
    }
    std::vector<cv::Rect> local;
    for (std::size_t index : work.window.areas) local.push_back(photo.areas.rects[index] - origin);
    RegionInpainter(work.mask, photo.range, local).inpaintInPlace(work.image, photo.method);
    repairBandEnds(work.image, work.mask, members.lines, origin, cv::Size(photo.grid.width, photo.grid.height),
                   photo.range, photo.method);
}

// The repaired pixels' blocks, coded with the source's tables and sampling.
bool encodeDonor(JpegRewrite& rewrite, WindowCodecs& codecs, WindowWork& work, std::string& diagnostic) {
    j_decompress_ptr source = rewrite.source();
    JpegGuard& guard = rewrite.guard();
    // The donor's blocks go into arrays of a decoder that has read the
    // window's headers: the layout, tables and arrays that reading the
    // encoder's own stream back would give.
    JpegDecoder& donor = codecs.decoder;
    BlockTake take;
    auto step = [&] {
        donor.createFromMemory(guard, "donor", codecs.blocks);
        jpeg_read_header(&donor.codec, TRUE);
        work.donorArrays = requestCoefficientArrays(&donor.codec);
        take.into = &donor.codec;
        take.arrays = work.donorArrays;
        encodeLikeSource(source, work.image, codecs.encoder, guard, codecs.donorBytes, &take);
    };
    if (!runJpegGuarded(guard, step)) {
        diagnostic = raisedBy({&codecs.encoder.errors, &donor.errors});
        return false;
    }
    return true;
}

RepairedBlocks repairedBlocksOf(j_decompress_ptr source, const JpegGrid& grid, const cv::Mat& mask) {
    const bool single = source->num_components == 1;
    int h[MAX_COMPONENTS] = {}, v[MAX_COMPONENTS] = {};
    for (int c = 0; c < source->num_components; ++c) {
        h[c] = single ? 1 : source->comp_info[c].h_samp_factor;
        v[c] = single ? 1 : source->comp_info[c].v_samp_factor;
    }
    return findRepairedBlocks(mask, source->num_components, h, v, grid.imcuWidth / 8, grid.imcuHeight / 8);
}

// The donor's repaired blocks, refined, staged for the source's arrays.
bool stageWindow(JpegRewrite& rewrite, WindowCodecs& codecs, const PhotoRepair& photo, const WindowWork& work,
                 std::string& diagnostic) {
    j_decompress_ptr source = rewrite.source();
    JpegDecoder& donor = codecs.decoder;
    const RepairedBlocks repaired = repairedBlocksOf(source, photo.grid, work.mask);
    const cv::Rect& imcus = work.window.imcus;
    auto step = [&] {
        DonorRegion region;
        region.healedSource = &donor.codec;
        region.healedCoefficients = work.donorArrays;
        region.donorImcuX = static_cast<std::uint32_t>(imcus.x);
        region.donorImcuY = static_cast<std::uint32_t>(imcus.y);
        region.donorImcuWidth = static_cast<std::uint32_t>(imcus.width);
        region.donorImcuHeight = static_cast<std::uint32_t>(imcus.height);
        prepareDrop(source, region);
        refineRepairedBlocks(source, rewrite.arrays(), &donor.codec, work.donorArrays, work.window, photo, work.image,
                             work.mask, work.discs, repaired);
        stageRepairedBlocks(rewrite, region, repaired, codecs.staged);
    };
    if (!runJpegGuarded(rewrite.guard(), step)) {
        diagnostic = raisedBy({&donor.errors, managerOf(source)});
        return false;
    }
    return true;
}

// One window through decode, repair, encode and staging. Returns false
// with diagnostic set when the library refuses a step.
bool healWindow(JpegRewrite& rewrite, WindowCodecs& codecs, const PhotoRepair& photo, const RepairWindow& window,
                std::string& diagnostic) {
    WindowWork work{window, photo.grid.pixels(window.imcus), {}, {}, {}, nullptr};
    if (!decodeWindow(rewrite, codecs, photo, work, diagnostic)) return false;
    repairWindow(photo, work);
    return encodeDonor(rewrite, codecs, work, diagnostic) && stageWindow(rewrite, codecs, photo, work, diagnostic);
}

LosslessHealResult healWhole(std::span<const unsigned char> sourceBytes, const HotPixelMap& map, double range,
                             int method, const WindowJoining& joining) {
    JpegRewrite rewrite;
    std::string diagnostic;
    if (!rewrite.readHeader(sourceBytes, diagnostic)) return refused(diagnostic);
    j_decompress_ptr source = rewrite.source();
    const std::int64_t width = source->image_width, height = source->image_height;
    // The size is judged from the header alone, before a coefficient is
    // decoded or stored, so that what a file claims costs nothing; a map of
    // a size beyond the image reader's pixel limit matches no readable photo.
    if (width != map.width || height != map.height) return outcomeOnly(Outcome::badDimension);
    if (width * height > kLargestReadablePixels)
        return refused("Image of " + std::to_string(width) + "x" + std::to_string(height) +
                       " pixels is larger than photos are read");
    if (!rewrite.readCoefficients(diagnostic)) return refused(diagnostic);
    // A cut or corrupted file decodes with the library's stand-ins for what
    // is missing; healed, it would look whole to every decoder after.
    if (const char* damage = managerOf(source)->damage; damage[0] != '\0') return outcomeOnly(Outcome::damaged, damage);
    const int channels = pixelChannels(source);
    if (channels == 0)
        return refused("Only grey, YCbCr, RGB, CMYK and YCCK JPEGs can be healed losslessly (this one has " +
                       std::to_string(source->num_components) + " components)");

    PhotoRepair photo;
    photo.grid = gridOf(source);
    photo.map = &map;
    photo.range = range;
    photo.method = method;
    photo.channels = channels;
    const cv::Size size(photo.grid.width, photo.grid.height);
    Areas& areas = photo.areas;
    areas.rects = repairAreas(map, size, &areas.pixels);
    const std::vector<cv::Rect> bands = bandAreas(map, size, &areas.lines);
    areas.rects.insert(areas.rects.end(), bands.begin(), bands.end());
    // The discs' samples of subsampled components are repaired first, from
    // the source's blocks as they are, apart from the windows (disc_samples.h).
    const std::vector<cv::Rect> discs(areas.rects.begin(), areas.rects.begin() + areas.pixels.size());
    auto repairSamples = [&] {
        photo.samples.repair(source, rewrite.arrays(), map, discs, areas.pixels, range);
    };
    if (!runJpegGuarded(rewrite.guard(), repairSamples)) return refused(raisedBy({managerOf(source)}));
    // A range the inpainting cannot confine to a neighbourhood makes the
    // whole photo one window.
    const int margin = RegionInpainter::marginFor(range);
    std::vector<RepairWindow> windows;
    if (margin > 0) {
        windows = planRepairWindows(areas.rects, photo.grid, margin, joining);
    } else if (!areas.rects.empty()) {
        RepairWindow whole{cv::Rect(0, 0, photo.grid.across(), photo.grid.down()), {}};
        for (std::size_t i = 0; i < areas.rects.size(); ++i) whole.areas.push_back(i);
        windows.push_back(std::move(whole));
    }
    WindowCodecs codecs;
    int above = 0;
    auto place = [&] { placeStagedBlocks(rewrite, codecs.staged, above); };
    for (const RepairWindow& window : windows) {
        // Many windows share a top row; the staged blocks are swept once per
        // row, not once per window.
        if (window.imcus.y > above) {
            above = window.imcus.y;
            if (!runJpegGuarded(rewrite.guard(), place)) return refused(raisedBy({managerOf(source)}));
        }
        if (!healWindow(rewrite, codecs, photo, window, diagnostic)) return refused(diagnostic);
    }
    above = photo.grid.down();
    if (!runJpegGuarded(rewrite.guard(), place)) return refused(raisedBy({managerOf(source)}));

    LosslessHealResult result;
    if (!rewrite.write(result.file, diagnostic)) return refused(diagnostic);
    result.outcome = Outcome::healed;
    return result;
}

}  // namespace

LosslessHealResult checkJpegSource(std::span<const unsigned char> source, const HotPixelMap& map) {
    JpegDataCheck check;
    std::string diagnostic;
    if (!check.readHeader(source, diagnostic)) return refused(diagnostic);
    if (check.width() != map.width || check.height() != map.height) return outcomeOnly(Outcome::badDimension);
    std::string damage;
    if (!check.readData(damage, diagnostic)) return refused(diagnostic);
    if (!damage.empty()) return outcomeOnly(Outcome::damaged, std::move(damage));
    return outcomeOnly(Outcome::healed);
}

LosslessHealResult healJpegLosslessly(std::span<const unsigned char> sourceBytes, const HotPixelMap& map, double range,
                                      int method, const WindowJoining& joining) {
    // The image library reports its failures (a window too large to
    // allocate, say) by exceptions; the photo is then refused like one the
    // JPEG library refuses.
    try {
        return healWhole(sourceBytes, map, range, method, joining);
    } catch (const cv::Exception& error) {
        return refused(error.what());
    } catch (const std::bad_alloc&) {
        return refused("Out of memory");
    }
}

}  // namespace speckmend
