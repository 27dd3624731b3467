"""A quick look at OPUS files: what each holds, its main parameters, and pictures of its data.

    korvex-quicklook [FILE_OR_FOLDER ...] [--out FOLDER]

Without FILE_OR_FOLDER it reads the demo files shipped with the package: a single spectrum, a
map cube and a set of trace maps; a folder stands for the OPUS files in it. For every data block it prints the block's triple, the shape
and range of its data and the parameters that have a readable name in korvex.paramDict,
then writes a PNG picture into FOLDER (default quicklook-out/):

- "2D" blocks: the spectrum;
- "3D" map cubes: an image of the integrated intensity of each pixel, in map coordinates,
  beside the mean spectrum and the spectrum of the brightest pixel;
- "3D" trace maps (TRC): one image per trace, titled with its name.

Each picture is named after the file (with its extension, as instruments number repeated
measurements sample.0, sample.1 ...) and the block; a name already used in the run gets a
number. Pictures need matplotlib (python -m pip install matplotlib, or the "plot" extra); without
it the script prints everything and says how to get them.
"""

import argparse
import struct
import sys
from pathlib import Path

import numpy as np

import korvex
from korvex_tools import (
    DEMO_FILES,
    READ_REPORTS,
    describe_error,
    find_opus_files,
    interrupted_copy,
    kind_of,
    request_for,
    unwritable_folder,
)

NO_MATPLOTLIB = ("no pictures: matplotlib is not installed. Install it with\n"
                 "    python -m pip install matplotlib\n"
                 "(or install korvex with its plot extra: python -m pip install \"korvex-opus[plot]\")")

X_UNITS = {"WN": "wavenumber (cm⁻¹)", "MI": "wavelength (µm)", "NM": "wavelength (nm)",
           "PNT": "data point", "MIN": "time (min)"}
Y_NAMES = {"AB": "absorbance", "TR": "transmittance", "REFL": "reflectance", "KM": "Kubelka-Munk",
           "ATR": "ATR absorbance", "RAM": "Raman intensity", "EMIS": "emission", "PAS": "photoacoustic",
           "SSC": "single channel (sample)", "RSC": "single channel (reference)",
           "SIFG": "interferogram (sample)", "RIFG": "interferogram (reference)",
           "SPH": "phase (sample), rad", "RPH": "phase (reference), rad", "SPOW": "power spectrum (sample)",
           "RPOW": "power spectrum (reference)", "LREFL": "log(reflectance)", "TRARI": "transmittance (ARI)",
           "ABARI": "absorbance (ARI)", "TRC": "trace value"}
MAX_TRACE_PICTURES = 12


def main(argv=None):
    parser = argparse.ArgumentParser(description="Print what OPUS files hold and draw their data.")
    parser.add_argument("files", nargs="*", type=Path, metavar="FILE_OR_FOLDER",
                        help="OPUS files, or folders of them (default: the bundled demo files)")
    parser.add_argument("--out", "-o", type=Path, default=Path("quicklook-out"), metavar="FOLDER",
                        help="folder for the PNG pictures (default: quicklook-out)")
    args = parser.parse_args(argv)
    plotter = Plotter.create(args.out)
    if plotter is not None:
        problem = unwritable_folder(args.out)
        if problem:
            print(f"korvex-quicklook: {problem}", file=sys.stderr)
            return 1
    failed = False
    for path in files_to_look_at(args.files or DEMO_FILES):
        with READ_REPORTS.reading(str(path)):
            failed |= not look_at(path, plotter)
        damage = READ_REPORTS.summary(str(path))
        if damage:
            print(f"{path}: {damage}")
            failed = True
    if plotter is None:
        print(NO_MATPLOTLIB)
    return 1 if failed else 0


def files_to_look_at(given):
    """The files given, with each folder in place of its OPUS files (interrupted copies among
    them), after a line that says how many other files it holds."""
    for path in given:
        if not path.is_dir():
            yield path
            continue
        found, others = find_opus_files([path])
        print(f"{path}: folder of {len(found)} OPUS files, {others} other files skipped")
        yield from (file for file, _ in found)


def look_at(path, plotter):
    """Print what one file holds and draw each of its blocks; False when something could not be read."""
    cut = interrupted_copy(path)
    if cut:
        print(f"{path}: {cut}")
        return False
    try:
        if not korvex.isOpusFile(path):
            print(f"{path}: not an OPUS file")
            return False
        blocks = korvex.listContents(path)
    except (OSError, ValueError, struct.error) as error:  # struct.error: shorter than the magic number
        print(f"{path}: cannot read: {describe_error(error)}")
        return False
    print(f"{path}: OPUS file, {path.stat().st_size} bytes")
    if not blocks:
        print("  no data blocks")
    previous = None
    ok = True
    for block in blocks:
        print("  data block:", block)
        try:
            result = korvex.getOpusData(str(path), request_for(block))
        except Exception as error:  # a damaged block: say so and go on with the next one
            print(f"    cannot read: {describe_error(error, blocks)}")
            ok = False
            continue
        describe = {"map cube": describe_cube, "trace maps": describe_traces, "spectrum": describe_spectrum}
        describe[kind_of(result)](result)
        previous = describe_parameters(result.parameters, previous)
        if plotter is not None:
            name = "_".join((path.name,) + block)
            picture = plotter.draw(result, f"{path.name}: {' '.join(block)}", name)
            print(f"    picture: {picture}" if picture else "    no picture: the block holds no values")
    return ok


def describe_spectrum(result):
    params = result.parameters
    y = result.y
    x = result.x[:len(y)]  # the file may end before NPT values: only the x values that have a y
    cut = f" of {len(result.x)} (the file ends before the rest)" if len(y) < len(result.x) else ""
    span = f" from {x[0]:.2f} to {x[-1]:.2f}" if len(y) else ""
    print(f"    {len(y)} points{cut}{span} ({params.get('DXU', 'no unit')}),"
          f" y from {result.minY:.4g} to {result.maxY:.4g} as stored")
    if len(y):
        print(f"    largest value {y.max():.4g} at x = {x[int(np.argmax(y))]:.1f}")


def describe_map(result):
    x, y = result.mapX, result.mapY
    extent = f" from ({x[0]:.4g}, {y[0]:.4g}) to ({x[-1]:.4g}, {y[-1]:.4g})" if len(x) and len(y) else ""
    print(f"    map of {len(y)} rows x {len(x)} columns{extent}")


def describe_cube(result):
    describe_map(result)
    spectra, x = result.spectra, result.x
    rows, columns, points = spectra.shape
    filled = int(np.count_nonzero(spectra.any(axis=2))) if spectra.size else 0
    span = f" from {x[0]:.2f} to {x[-1]:.2f}" if points else ""
    print(f"    {points} points per spectrum{span}; {filled} of {rows * columns} positions hold nonzero values")


def describe_traces(result):
    describe_map(result)
    traces = result.traces
    print(f"    {traces.shape[2]} trace maps" + (": " + ", ".join(repr(name) for name in result.labels[:5])
                                                if result.labels else ""))


def describe_parameters(params, previous):
    """Print the parameters of a block that have a name in paramDict, or, after the first block of
    a file, those of them that differ from the block before; returns them, for the next block."""
    named = {label: params[label] for label in korvex.paramDict if label in params}
    changed = named if previous is None else {
        label: value for label, value in named.items() if previous.get(label, ...) != value}
    if previous is None:
        print(f"    {len(params)} parameters, {len(named)} with a name in paramDict:")
    elif changed:
        print(f"    {len(params)} parameters; named ones that differ from the block above:")
    else:
        print(f"    {len(params)} parameters; the named ones as for the block above")
    width = max((len(korvex.paramDict[label]) for label in changed), default=0)
    for label, value in changed.items():
        print(f"      {label:<4} {korvex.paramDict[label]:<{width}}  {value}")
    return named


class Plotter:
    """Draws results into PNG files in one folder, with matplotlib's object interface (no pyplot,
    so no window and no global figure state)."""

    def __init__(self, folder, figure_class):
        self.folder = folder
        self.Figure = figure_class
        self.used: set[str] = set()  # picture names of this run, so that none is overwritten

    @classmethod
    def create(cls, folder):
        """A plotter, or None when matplotlib is not importable."""
        try:
            from matplotlib.figure import Figure
        except ImportError:
            return None
        return cls(folder, Figure)

    def draw(self, result, title, name):
        """Write the picture of one result as NAME.png, or NAME_2.png and so on when the run has
        used the name already; its path, or None for a block with no values."""
        figure = {"map cube": self.cube_figure, "trace maps": self.traces_figure, "spectrum": self.spectrum_figure}
        fig = figure[kind_of(result)](result, title)
        if fig is None:
            return None
        self.folder.mkdir(parents=True, exist_ok=True)
        unique, count = name, 1
        while unique in self.used:
            count += 1
            unique = f"{name}_{count}"
        self.used.add(unique)
        path = self.folder / f"{unique}.png"
        fig.savefig(path, dpi=100)
        return path

    def spectrum_figure(self, result, title):
        if not len(result.y):
            return None
        fig = self.Figure(figsize=(8, 4), layout="constrained")
        ax = fig.add_subplot()
        x = result.x[:len(result.y)]  # the file may end before NPT values
        ax.plot(x, result.y, linewidth=0.9)
        spectral_axes(ax, result)
        ax.set_title(f"{title}\n{sample_name(result)}")
        return fig

    def cube_figure(self, result, title):
        spectra, x = result.spectra, result.x
        filled = spectra.any(axis=2)  # positions with no stored record are all zeros
        if not filled.any():
            return None
        image = np.ma.masked_array(integrate(spectra, x), mask=~filled)
        fig = self.Figure(figsize=(11, 4.2), layout="constrained")
        map_ax, spectrum_ax = fig.subplots(1, 2, width_ratios=[1, 1.25])
        mesh = map_image(map_ax, result, image)
        unit = x_unit(result, short=True)
        map_ax.set_title(f"integrated {y_name(result)}, {x[0]:.0f} to {x[-1]:.0f} {unit}".rstrip())
        fig.colorbar(mesh, ax=map_ax, label=f"{y_name(result)} × {unit}" if unit else f"integrated {y_name(result)}")
        row, column = np.unravel_index(int(np.argmax(image.filled(-np.inf))), image.shape)
        bright = spectra[row, column]
        map_ax.plot(result.mapX[column], result.mapY[row], marker="+", color="red", markersize=12)
        spectrum_ax.plot(x, spectra[filled].mean(axis=0), linewidth=1.2,
                         label=f"mean of {int(filled.sum())} spectra")
        spectrum_ax.plot(x, bright, linewidth=0.9, color="red", alpha=0.7,
                         label=f"brightest pixel (+) at ({result.mapX[column]:.4g}, {result.mapY[row]:.4g})")
        spectral_axes(spectrum_ax, result)
        spectrum_ax.legend(loc="upper left", fontsize="small")
        spectrum_ax.set_title("spectra")
        fig.suptitle(f"{title}: {sample_name(result)}, {len(result.mapY)} x {len(result.mapX)} pixels")
        return fig

    def traces_figure(self, result, title):
        traces = result.traces
        count = min(traces.shape[2], MAX_TRACE_PICTURES)
        if not traces.size:
            return None
        columns = min(count, 2 if count == 4 else 3)
        rows = -(-count // columns)
        fig = self.Figure(figsize=(4.6 * columns, 3.4 * rows + 0.4), layout="constrained")
        axes = np.atleast_1d(fig.subplots(rows, columns, squeeze=False)).ravel()
        for k, ax in enumerate(axes):
            if k >= count:
                ax.set_visible(False)
                continue
            mesh = map_image(ax, result, traces[:, :, k])
            ax.set_title(result.labels[k] if k < len(result.labels) else f"trace {k}")
            fig.colorbar(mesh, ax=ax)
        more = f" (first {count} of {traces.shape[2]})" if count < traces.shape[2] else ""
        fig.suptitle(f"{title}: {sample_name(result)}, {traces.shape[2]} trace maps{more}")
        return fig


def spectral_axes(ax, result):
    """Label a spectrum's axes. Wavenumbers run high to low, as infrared spectra are drawn; a Raman
    shift, the points of an interferogram, wavelengths and times run low to high."""
    x = result.x
    if len(x) > 1 and x[0] != x[-1]:
        low, high = sorted((x[0], x[-1]))
        descending = result.parameters.get("DXU") == "WN" and not is_raman(result)
        ax.set_xlim((high, low) if descending else (low, high))
    ax.set_xlabel(x_unit(result))
    ax.set_ylabel(y_name(result))
    ax.grid(alpha=0.3)


def map_image(ax, result, image):
    """Draw one value per pixel, each pixel centred on its map coordinates."""
    mesh = ax.pcolormesh(edges(result.mapX, result.parameters.get("DDX")),
                         edges(result.mapY, result.parameters.get("DDY")), image, shading="flat")
    ax.set_aspect("equal")
    ax.set_xlabel("map x (µm)")
    ax.set_ylabel("map y (µm)")
    return mesh


def edges(centres, step):
    """Pixel edges around evenly spaced centres (one pixel wide when there is no step to go by)."""
    if len(centres) > 1 and centres[1] != centres[0]:
        step = centres[1] - centres[0]
    elif not isinstance(step, (int, float)) or not step:
        step = 1.0
    return np.append(centres - step / 2, centres[-1] + step / 2)


def integrate(spectra, x):
    """Trapezoid integral of each spectrum over its evenly spaced axis, positive for either
    direction of the axis; a spectrum of one point is its value."""
    if len(x) < 2:
        return spectra.sum(axis=2, dtype=np.float64)
    step = abs(x[-1] - x[0]) / (len(x) - 1)
    ends = (spectra[:, :, 0].astype(np.float64) + spectra[:, :, -1]) / 2
    return (spectra.sum(axis=2, dtype=np.float64) - ends) * step


def is_raman(result):
    return result.dataType == "RAM"


def x_unit(result, short=False):
    unit = result.parameters.get("DXU")
    if short:
        return {"WN": "cm⁻¹", "MI": "µm", "NM": "nm", "MIN": "min"}.get(unit, "")
    if unit == "WN" and is_raman(result):
        return "Raman shift (cm⁻¹)"
    return X_UNITS.get(unit, f"x ({unit})" if unit else "x")


def y_name(result):
    return Y_NAMES.get(result.dataType, result.dataType)


def sample_name(result):
    return str(result.parameters.get("SNM", "")).strip() or "no sample name"


def run():
    """The korvex-quicklook command."""
    sys.exit(main())


if __name__ == "__main__":
    run()
