// The texts the module shows: docstrings, descriptions, the help listing and the parameter names.
#pragma once

#include <array>
#include <utility>

namespace korvex::texts {

inline constexpr const char* helpDoc =
    "\n"
    "\tPrint a help message containing the available functions.\n"
    "\t";

inline constexpr const char* listContentsDoc =
    "\n"
    "\tThis function returns a list of datablocks for a given file.\n"
    "\tEach datablock is identified by blocktype, dimensions and derivative.\n"
    "\n"
    "\tArgs:\n"
    "\t\tpath (path): Path to file\n"
    "\n"
    "\tReturns:\n"
    "\t\tlist of tuple(str, str, str): List containing a (datablocktype, dimensions, derivative) tuple\n"
    "\t\tfor each datablock in the file\n"
    "\t";

inline constexpr const char* isOpusFileDoc =
    "\n"
    "\tTests if the given file is an OPUS data file.\n"
    "\n"
    "\tArgs:\n"
    "\t\tpath (path): Path to file\n"
    "\n"
    "\tReturns:\n"
    "\t\tbool: True if an OPUS file\n"
    "\t";

inline constexpr const char* getOpusDataDoc =
    "\n"
    "\tThis function returns a :obj:`DataReturn` object containing the data and\n"
    "\tdata parameters for\tthe specified datablock in the given file.\n"
    "\n"
    "\tArgs:\n"
    "\t\tpath (path):       Path to file\n"
    "\t\tdatablock (tuple of str): tuple(datablocktype, dimensions, derivative)\n"
    "\t\t\t\t\t\t\t\t  as returned by .listContents()\n"
    "\n"
    "\tReturns:\n"
    "\t\t:obj:`DataReturn`: Object containing the requested data and associated\n"
    "\t\tparameters. Data structure is as specified in data.description and\n"
    "\t\tcan be one of the three types described in :class:`DataReturn`\n"
    "\t";

inline constexpr const char* dataReturnDoc =
    "\n"
    "\tData object returned by .getOpusData().\n"
    "\n"
    "\tAttributes will depend on thee requested datablock and can be one of 2D, 3D or 3DTRC:\n"
    "\n"
    "\t  - 2D - Single spectrum\n"
    "\t  - 3D - Hyperspectral cube of image/map data\n"
    "\t  - 3DTRC - Map(s) of a single spectral feature/integral/calculation\n"
    "\n"
    "\tAttributes:\n"
    "\t\tdataType (str):\t\tThe datablock type\n"
    "\t\tdimension (str):\tDatablock dimensions (2D or 3D)\n"
    "\t\tderivative (str):\tDatablock derivative (NONE, 1DER, 2DER, NDER)\n"
    "\t\tdescription (str):\tDescription of the :class:DataReturn object\n"
    "\t\t\t\t\t\t\tattributes\n"
    "\t\tparameters (dict):\tDictionary of relevant data/sample/instrument parameters\n"
    "\t\tx (ndarray):\t\t1D numpy array of spectrum x coordinates\n"
    "\t\tmaxY (float):\t\tMaximum y value\n"
    "\t\tminY (float):\t\tMinimum y value\n"
    "\t\ty (:obj:`ndarray`, 2D):\t  \t 1D numpy array of y values\n"
    "\t\tmapX (:obj:`ndarray`, 3D):\t 1D numpy array of X map coordinates\n"
    "\t\tmapY (:obj:`ndarray`, 3D):\t 1D numpy array of Y map coordinates\n"
    "\t\tspectra (:obj:`ndarray`, 3D): 3D numpy array of spectral maps\n"
    "\t\t\t\t\t\t\t\t\t      dataObject.spectra[row][column][x]\n"
    "\t\tlabels (:obj:`list` of :obj:`str`, 3DTRC): \t List of trace block names\n"
    "\t\ttraces (:obj:`list` of :obj:`ndarray`, 3DTRC): 3D numpy array of trace maps with same index as labels: dataObject.traces[:,:,index]\n"
    "\t";

inline constexpr const char* singleSpectrumDescription =
    "This object contains:\n"
    "\tdimension of file (.dimension)\n"
    "\tdata block type (.dataType)\n"
    "\tderivative type (.derivative)\n"
    "\tx data points (.x)\n"
    "\ty data points (.y)\n"
    "\tminimum and maximum y values (.minY and .maxY)\n"
    "\tdictionary of parameters with parameter name then value (.parameters)";

inline constexpr const char* mapCubeDescription =
    "This object contains:\n"
    "\tdimension of file (.dimension)\n"
    "\tdata block type (.dataType)\n"
    "\tderivative type (.derivative)\n"
    "\tx mapping coordinates (.mapX)\n"
    "\ty mapping coordinates (.mapY)\n"
    "\tspectrum x coordinates (.x)\n"
    "\t3D numpy array containing the spectrum associated with the x and y mapping coordinates (.spectra)\n"
    "\t\t\tMap x\n"
    "\t\t  x1  x2  x3  x4...xn\n"
    "Map y\t\ty1\n"
    "\t\ty2\n"
    "\t\ty3\n"
    "\t\t.\n"
    "\t\t.\n"
    "\t\tyn\n"
    "\t\n"
    "\taccess the spectrum with returnedObject.spectra[row][column]\n"
    "\tdictionary of parameters with parameter name then value (.parameters)";

inline constexpr const char* traceMapDescription =
    "This object contains:\n"
    "\tdimension of file (.dimension)\n"
    "\tdata block type (.dataType)\n"
    "\tderivative type (.derivative)\n"
    "\tx mapping coordinates (.mapX)\n"
    "\ty mapping coordinates (.mapY)\n"
    "\tspectrum x coordinates (.x)\n"
    "\ta list containing the names of the trace blocks (.labels)\n"
    "\t3D numpy array containing the trace values associated with the x and y mapping coordinates (.traces)\n"
    "\t\t\tMap x\n"
    "\t\t  x1  x2  x3  x4...xn\n"
    "Map y\t\ty1\n"
    "\t\ty2\n"
    "\t\ty3\n"
    "\t\t.\n"
    "\t\t.\n"
    "\t\tyn\n"
    "\t\n"
    "\taccess the trace maps with returnedObject.traces[:,:,label index]\n"
    "\tdictionary of parameters with parameter name then value (.parameters)";

inline constexpr const char* noDescription = "No description set";

// What listContents and getOpusData raise for a file without the magic number.
inline constexpr const char* notOpusFile = "Can't process a non-Opus file";

// Printed when a derived map takes its geometry from the underived data ("Orignal" as printed).
inline constexpr const char* originalCoordinatesUsed = "Orignal mapping coordinates used";

// Printed by help(), one print() call each.
inline constexpr std::array<const char*, 7> helpLines = {
    "This library contains the following functions:",
    "\tlistContents('path') :\tThis function returns a list containing the data blocks, their dimensions and derivative type",
    "\tisOpusFile('path'):\tThis function returns true if the file is an Opus file, false otherwise",
    "\tgetOpusData('path', ('data block type', 'dimensions', 'derivative')):",
    "\t\tThis function returns a Python object that contains a string parameter called description (ie: returnedObject.description)",
    "\t\tDescription contains the details of what the Python object contains based on the type of data block requested.",
    "\n For more detailed descriptions please consult the documentation.",
};

// paramDict, in its order of insertion.
inline constexpr std::array<std::pair<const char*, const char*>, 33> parameterNames = {{
    {"SNM", "Sample Name"},
    {"SFM", "Sample Form"},
    {"CNM", "Operator Name"},
    {"EXP", "Experiment File"},
    {"XPP", "Experiment Path"},
    {"APT", "Aperture Setting"},
    {"BMS", "Beamsplitter Setting"},
    {"LWN", "Laser Wavenumber"},
    {"SRT", "Start Time"},
    {"DAT", "Date"},
    {"TIM", "Local Time"},
    {"NPT", "Number of Data Points"},
    {"FXV", "First X Value"},
    {"LXV", "Last X Value"},
    {"MNY", "Minimum Y Value"},
    {"MXY", "Maximum Y Value"},
    {"DXU", "X Units"},
    {"HFW", "High Frequency Limit"},
    {"LFW", "Low Frequency Limit"},
    {"HPF", "High Pass Filter"},
    {"LPF", "Low Pass Filter"},
    {"NSS", "Number of Sample Scans"},
    {"NSR", "Number of Reference Scans"},
    {"RES", "Resolution"},
    {"INS", "Instrument Type"},
    {"AN1", "Analog Signal 1"},
    {"AN2", "Analog Signal 2"},
    {"APF", "Apodization Function"},
    {"HFQ", "High Frequency Cutofff (FT)"},
    {"LFQ", "Low Frequency Cutoff (FT)"},
    {"PHZ", "Phase Correction Mode"},
    {"PHR", "Phase Resolution"},
    {"ZFF", "Zero Filling Factor"},
}};

}  // namespace korvex::texts
