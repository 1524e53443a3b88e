// What the download job asks its front end: the step boxes, the file and the
// start address, each at the moment the step that needs it is reached. The
// window answers from its controls as they are then; vornic-cli from its
// command line.
#pragma once

#include <string>

namespace vornic_probe {

class JobInputs {
  public:
    virtual ~JobInputs() = default;
    virtual bool Erase() = 0;
    virtual bool Programme() = 0;
    virtual bool Verify() = 0;
    virtual bool Reset() = 0;
    // The file to convert, used whole: the file named is the file read.
    virtual std::string Path() = 0;
    // The start address as its index (StartAddress); -1 when none is chosen.
    virtual int AddressIndex() = 0;
    // The name of the image the conversion produced or took as it was.
    virtual void Converted(const std::string& outputName) { (void)outputName; }
};

// The main dialog's controls, read at each question: the boxes, the path box
// and the address list. Without a dialog nothing is ticked, named or chosen.
// The converted name goes back into the path box, caret at its end.
class ControlInputs final : public JobInputs {
  public:
    bool Erase() override;
    bool Programme() override;
    bool Verify() override;
    bool Reset() override;
    std::string Path() override;
    int AddressIndex() override;
    void Converted(const std::string& outputName) override;

  private:
    static bool Checked(int id);
};

// Answers decided beforehand.
struct FixedInputs final : JobInputs {
    bool erase = false, programme = false, verify = false, reset = false;
    std::string path;
    int addressIndex = 0;

    bool Erase() override { return erase; }
    bool Programme() override { return programme; }
    bool Verify() override { return verify; }
    bool Reset() override { return reset; }
    std::string Path() override { return path; }
    int AddressIndex() override { return addressIndex; }
};

}  // namespace vornic_probe
