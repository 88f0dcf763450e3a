#pragma once

// Device bases of the host framework. The virtual operations are declared in the slot order
// that plug-ins are built against: do not reorder them.

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include <boost/date_time/posix_time/posix_time_types.hpp>
#include <json/value.h>

#include "host/controller.h"
#include "host/export.h"
#include "host/rule_value.h"

class ZVKVDevice;

enum EnumParity { PARITY_NONE = 0, PARITY_ODD, PARITY_EVEN, PARITY_MARK, PARITY_SPACE };

// Root of every device: data id, device type, whether the controller's database is used.
class ZVK_API VDeviceInterface {
 public:
  VDeviceInterface();

  // Throws std::out_of_range("数据未就绪").
  virtual float Get_Value(unsigned data_id, const std::string& key) const;
  // Passes the string's bytes to the byte form.
  virtual bool LoadFromCache(const std::string& image);
  virtual bool LoadFromCache(const unsigned char* image, int length);
  virtual unsigned DataId() const;
  virtual const std::string& DeviceType() const;
  // Returns -2: not supported.
  virtual int DeviceIoControl(int code, const void* in, int in_length, void* out, int out_length,
                              int& returned);
  virtual void RoundDone();
  virtual bool UseControllerDb();
  virtual ~VDeviceInterface();

 protected:
  uint32_t data_id_ = 0;
  std::string device_type_;
  bool use_controller_db_ = false;
};

// A virtual device: rule recording, publication, history, logging, parent and children.
class ZVK_API ZVKVDevice : public VDeviceInterface, public std::enable_shared_from_this<ZVKVDevice> {
 public:
  ZVKVDevice();
  ~ZVKVDevice() override;

  int DeviceIoControl(int code, const void* in, int in_length, void* out, int out_length,
                      int& returned) override;

  virtual void Reset();
  // Joins the device to its parent's controller under the given data id.
  virtual bool InitV(ZVKVDevice* parent, unsigned data_id, const Json::Value& config);
  // Stores the controller and data id, then runs InitSetting; a device whose InitSetting
  // failed is never polled.
  virtual bool Init(std::weak_ptr<ZVKController> controller, unsigned data_id,
                    const Json::Value& config);
  virtual bool InitSetting(const Json::Value& config);
  virtual bool IsSupportDevice(const std::string& device_type) const;
  virtual std::shared_ptr<ZVKVDevice> GetChildVDevice(unsigned data_id);
  virtual std::vector<std::shared_ptr<ZVKVDevice>> GetAllChildVDevices();
  virtual bool SendSP(int record_type, const unsigned char* bytes, unsigned length, bool flag);
  virtual bool SendDelayData(int channel);
  virtual bool SendDoData(int channel, char value);
  virtual int ReadDi(int channel);
  virtual float ReadAi(int channel);
  virtual float Get_SP_Value(unsigned data_id, const std::string& key);

  // Host operations that devices call.
  bool CheckThresholdBool(int level, const std::string& rule_id, const std::string& code,
                          const std::string& name, const std::string& description, bool active,
                          unsigned short sequence);
  void CheckThresholdWork(std::function<void()> work);
  bool DoBatchCheckThreshold(const std::vector<rule_value>& rules);
  bool SaveDeviceHistory(const unsigned char* bytes, unsigned length);

  // The first argument is always the device's data id; nothing is logged once the controller
  // is gone.
  template <typename... Args>
  void InfoLog(const char* format, const Args&... args) const {
    if (auto controller = controller_.lock()) controller->InfoLog(data_id_, format, args...);
  }

  // What the host reads and sets of a device's bookkeeping.
  bool HasData() const { return has_data_ != 0; }
  boost::posix_time::ptime LastRoundTime() const { return last_round_time_; }
  void SetLastRoundTime(const boost::posix_time::ptime& time) { last_round_time_ = time; }
  bool AlarmChanged() const { return alarm_changed_.load() != 0; }
  unsigned short RuleSequence() const { return rule_sequence_; }
  const std::vector<rule_value>& PendingRules() const { return pending_rules_; }
  ZVKVDevice* Parent() const { return parent_; }
  std::shared_ptr<ZVKController> Controller() const { return controller_.lock(); }

 protected:
  std::vector<rule_value> pending_rules_;
  uint8_t has_data_ = 0;
  boost::posix_time::ptime last_round_time_;
  uint16_t rule_sequence_ = 0;
  std::atomic<uint8_t> alarm_changed_{0};
  std::weak_ptr<ZVKController> controller_;
  ZVKVDevice* parent_ = nullptr;
  bool init_ok_ = false;
  // Set when a child published a snapshot since this device's last Reset().
  bool child_published_ = false;
  // Record type of the last snapshot published, under which the history stores it.
  std::atomic<int> published_record_type_{0};
  unsigned completed_cycles_ = 0;
};

// A device that owns a serial port.
class ZVK_API ZVKSPDevice : public ZVKVDevice {
 public:
  using PortWriter = std::function<bool(const unsigned char* bytes, unsigned length)>;

  ZVKSPDevice();
  ~ZVKSPDevice() override;

  // Ends the exchange in flight. For a composite device it also closes the host's cycle
  // bookkeeping: the quiet-time stamp, has-data after a completed cycle, and the hand-over of
  // the device's own rules (the model alarm) to the threshold worker, and after a completed
  // cycle the controller's retirement of the rules no longer reported.
  void Reset() override;
  bool Init(std::weak_ptr<ZVKController> controller, unsigned data_id,
            const Json::Value& config) override;

  // False while the device may not send: not initialised, no port, or a reply still awaited
  // within the time-out. A reply not received in time is given up here.
  virtual bool RefreshStatus();
  // Bytes received from the serial line.
  virtual void process(unsigned char* bytes, unsigned length);
  virtual bool IsProcessing();
  virtual bool IsStalled();
  virtual bool SendData(const unsigned char* bytes, unsigned length);
  virtual bool SendParityData(const unsigned char* bytes, unsigned length, EnumParity parity);
  virtual bool OpenPort();
  virtual bool ClosePort();

  // Connects the device to the line; without a writer nothing is sent and nothing is polled.
  void AttachPort(PortWriter writer) { port_writer_ = std::move(writer); }
  int Busy() const { return busy_; }
  unsigned char Option() const { return option_; }
  int Speed() const { return speed_; }
  std::chrono::milliseconds ReplyTimeout() const { return reply_timeout_; }
  // When the query in flight was written; it is given up ReplyTimeout() later.
  std::chrono::steady_clock::time_point RequestTime() const { return request_time_; }
  // The host wrote the query in flight only now (it held it back through the device's pause):
  // the reply time-out runs from here.
  void QueryWritten() {
    if (busy_ != 0) request_time_ = std::chrono::steady_clock::now();
  }

 protected:
  // Marks a request in flight; called by the codec after it wrote a query.
  void MarkRequestSent();

  int32_t busy_ = 0;  // 0: no request in flight
  uint8_t option_ = 0;
  int speed_ = 9600;
  std::chrono::milliseconds reply_timeout_{1500};
  std::chrono::steady_clock::time_point request_time_{};
  PortWriter port_writer_;
};
