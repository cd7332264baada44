// Measured data of devices as lim07ctl prints it: the table of the window's
// data grid, JSON objects and CSV rows, each with the outcome of the read.
//
// Success is judged per device from the requests of its last read
// (TDevice::PollOutcomes: natively the level read, then the temperature read;
// in Modbus the data read), never from the state words: a failed Modbus data
// read leaves them as they were. Values of a request that did not succeed are
// not shown (empty cells, null in JSON).
#pragma once

#include <string>

#include "DeviceList.h"

// Whether one request of a read confirmed its readings: it succeeded, and it
// is not a Modbus data read whose sensor count differs from the record's
// (that exchange counts as done, but carries no temperatures).
bool RequestConfirmed(const TRequestOutcome& outcome);
// True when the device was read and every request of the read confirmed.
bool DataReadOk(const TDevice& device);
// The result of the device's last read: the text of its first request that
// did not confirm, else the success text; "" when it was not read.
std::string DataReadResult(const TDevice& device);

// Name, address, C, H, state, one column per sensor (the widest device), result.
std::string DataTableText(const TDeviceList& devices);
// {"name":..,"address":..,"plant":..,"ok":..,"level_code":..,"level_dm":..,
//  "state":..,"temperatures":[..],"operation":..,"result":..,
//  "requests":[{"operation":..,"ok":..,"result":..},..]}
std::string DeviceDataJson(const TDevice& device);
// CSV: time,name,address,plant,level_code,level_dm,state,t1,...,tN,result.
// Rows have a cell for each of the header's N sensors, so the result column
// stays the last one.
std::string CsvHeader(int sensors);
std::string CsvRow(const std::string& time, const TDevice& device, int sensors);
// The layout of an existing CSV file's header line: the number of sensor
// columns and whether it ends in the result column (files written before
// that column existed do not). False when the line is not such a header.
bool ParseCsvHeader(const std::string& line, int& sensors, bool& hasResult);
// A row in the layout without the result column (for such older files).
std::string CsvRowWithoutResult(const std::string& time, const TDevice& device);
int WidestSensorCount(const TDeviceList& devices);
